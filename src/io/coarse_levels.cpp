// The levels below the first of a volumetric volume: the slices' staged data, which blocks are
// made and wanted, the claim on a block, and the finishing step that makes them.
#include "io/coarse_levels.hpp"

#include "base/warnings.hpp"
#include "io/coarse_block.hpp"
#include "io/ome_zarr.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace orvane {

namespace {

bool whole_file(const std::string& name, std::uint64_t bytes)
{
    const platform::file_status status = platform::status_of(name);
    return status.regular && status.size == bytes;
}

bool inputs_there(const std::string& path, const volume_layout& layout, std::size_t level,
                  std::int64_t block)
{
    const plane_range in = input_planes(layout, level, block_planes(layout, level, block));
    const std::uint64_t bytes =
        level == 1 ? slice_stage_bytes(layout) : plane_bytes(layout, level - 1);
    for (std::int64_t z = in.first; z < in.end; ++z)
        if (!whole_file(input_path(path, layout, level, z), bytes))
            return false;
    return true;
}

// Whether the block's staged planes, the next level's input, are there.
bool outputs_there(const std::string& path, const volume_layout& layout, std::size_t level,
                   std::int64_t block)
{
    if (level == 1 && !layout.halves_z(1))
        return inputs_there(path, layout, level, block);  // the slices' own
    const plane_range out = block_planes(layout, level, block);
    for (std::int64_t z = out.first; z < out.end; ++z)
        if (!whole_file(plane_path(path, level, z), plane_bytes(layout, level)))
            return false;
    return true;
}

bool block_made(const std::string& path, const volume_layout& layout, std::size_t level,
                std::int64_t block)
{
    const chunk_grid& grid = layout.grids[level];
    const auto sample_bytes = static_cast<std::size_t>(layout.chunk_depths[level] *
                                                       grid.chunk.width * grid.chunk.height * 2);
    for (std::int64_t row = 0; row < grid.rows; ++row)
        for (std::int64_t column = 0; column < grid.columns; ++column) {
            const std::string name =
                chunk_path(path, level, static_cast<std::int32_t>(block), row, column);
            if (!platform::status_of(name).regular)
                return false;
            const std::string damage = chunk_file_damage(name, sample_bytes);
            if (!damage.empty()) {
                warn_once("chunk:" + name, "'" + name + "' is not a complete Blosc chunk (" +
                                               damage + "); it is made again");
                return false;
            }
        }
    return true;
}

// A lock on block b's claim file, held while the block is made. A run that
// finds another holding it waits until that one is done, then finds the
// block made: of runs finishing together one makes each block, and each
// leaves knowing the blocks are there. A killed run's lock goes with its
// process. Where no claim file can be made or locked (a file system
// without locks) the block is made unclaimed: every run makes it, each the
// same bytes.
class block_claim {
public:
    block_claim(const std::string& path, std::size_t level, std::int64_t block)
        : name_(staging_dir(path) + "/claims/" + std::to_string(level) + "." +
                std::to_string(block))
    {
        make_dir(staging_dir(path) + "/claims");
        auto pause = std::chrono::milliseconds(20);
        for (int attempt = 0; attempt < 1000; ++attempt) {
            fd_ = platform::create_new(name_);
            if (fd_ < 0 && errno == EEXIST)
                fd_ = platform::open_for_locking(name_);
            if (fd_ < 0) {
                if (platform::is_missing(errno))
                    continue;  // removed by its holder just now: made again
                return;
            }
            while (!platform::try_lock(fd_)) {
                if (!(errno == EAGAIN || errno == EWOULDBLOCK || errno == EACCES))
                    return;
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, std::chrono::milliseconds(1000));
            }
            // The holder removes the file once done: a lock on a removed
            // file claims nothing, and the block is looked at again.
            if (platform::names_open_file(name_, fd_)) {
                owned_ = true;
                return;
            }
            platform::close_file(fd_);
            fd_ = -1;
        }
    }
    ~block_claim()
    {
        if (owned_ && platform::names_open_file(name_, fd_))
            platform::remove_file(name_);
        if (fd_ >= 0)
            platform::close_file(fd_);
    }
    block_claim(const block_claim&) = delete;
    block_claim& operator=(const block_claim&) = delete;

private:
    std::string name_;
    int fd_ = -1;
    bool owned_ = false;
};

// Removes the staged data, bottom up: every file but the temporaries a live
// run holds (one staging a slice made again), whose directories then stay
// for a later run to remove; what cannot be removed (a file another program
// holds open on Windows) stays too.
void remove_tree(const std::string& dir)
{
    remove_stale_temporaries(dir);
    for (const std::string& name : platform::directory_entries(dir)) {
        const std::string entry = dir + "/" + name;
        if (platform::status_of(entry).directory)
            remove_tree(entry);
        else if (!is_temporary_name(name))
            platform::remove_file(entry);
    }
    platform::remove_directory(dir);
}

// Whether each block of each level is made, and the blocks of the next
// level whose input planes block b of level l feeds.
using block_flags = std::vector<std::vector<bool>>;

block_flags made_blocks(const std::string& path, const volume_layout& layout)
{
    block_flags made(layout.levels.size());
    for (std::size_t level = 1; level < layout.levels.size(); ++level)
        for (std::int64_t block = 0; block < layout.z_chunks[level]; ++block)
            made[level].push_back(block_made(path, layout, level, block));
    return made;
}

// Whether a block of the next level that block b of level l feeds passes test.
template <typename Test>
bool feeds_any(const volume_layout& layout, std::size_t level, std::int64_t block, Test test)
{
    if (level + 1 >= layout.levels.size())
        return false;
    const plane_range planes = block_planes(layout, level, block);
    for (std::int64_t next = 0; next < layout.z_chunks[level + 1]; ++next) {
        const plane_range in =
            input_planes(layout, level + 1, block_planes(layout, level + 1, next));
        if (in.first < planes.end && planes.first < in.end && test(next))
            return true;
    }
    return false;
}

bool feeds_wanted(const volume_layout& layout, const block_flags& wanted, std::size_t level,
                  std::int64_t block)
{
    return feeds_any(layout, level, block, [&](std::int64_t next) {
        return bool(wanted[level + 1][static_cast<std::size_t>(next)]);
    });
}

// Whether a block of the next level that block b of level l feeds is not
// made, as the volume stands now.
bool feeds_unmade(const std::string& path, const volume_layout& layout, std::size_t level,
                  std::int64_t block)
{
    return feeds_any(layout, level, block,
                     [&](std::int64_t next) { return !block_made(path, layout, level + 1, next); });
}

}  // namespace

std::string slice_stage_path(const std::string& path, const volume_layout& layout,
                             std::int32_t slice_index)
{
    if (layout.halves_z(1))
        return staging_dir(path) + "/sums/" + std::to_string(slice_index);
    return plane_path(path, 1, slice_index);
}

std::uint64_t slice_stage_bytes(const volume_layout& layout)
{
    return plane_bytes(layout, 1) * (layout.halves_z(1) ? 2 : 1);
}

bool slice_staged(const std::string& path, const volume_layout& layout, std::int32_t slice_index)
{
    return whole_file(slice_stage_path(path, layout, slice_index), slice_stage_bytes(layout));
}

std::vector<bool> coarse_pending(const std::string& path, const volume_layout& layout,
                                 std::int64_t only)
{
    std::vector<bool> pending(static_cast<std::size_t>(std::max<std::int64_t>(0, layout.slices)),
                              false);
    if (!layout.staged())
        return pending;
    for (std::size_t level = 1; level < layout.levels.size(); ++level)
        for (std::int64_t block = 0; block < layout.z_chunks[level]; ++block) {
            // The block that covers the one slice asked about, at each level.
            if (only >= 0 &&
                block != (only >> layout.z_halvings[level]) / layout.chunk_depths[level])
                continue;
            if (block_made(path, layout, level, block))
                continue;
            // The slices under the block's planes: 2^kz of them each.
            const plane_range planes = block_planes(layout, level, block);
            const std::int64_t factor = std::int64_t{1} << layout.z_halvings[level];
            for (std::int64_t k = planes.first * factor;
                 k < std::min(planes.end * factor, layout.slices); ++k)
                pending[static_cast<std::size_t>(k)] = true;
        }
    return pending;
}

bool make_coarse_levels(const std::string& path, const volume_layout& layout, int threads)
{
    if (!layout.staged())
        return true;
    // Wanted: a block not made, or made but without the staged planes a
    // wanted block of the next level is made from (removed once the volume
    // was whole, before a chunk went missing). Decided from the last level up.
    const block_flags made = made_blocks(path, layout);
    block_flags wanted = made;
    for (std::size_t level = layout.levels.size() - 1; level >= 1; --level)
        for (std::int64_t block = 0; block < layout.z_chunks[level]; ++block) {
            const auto b = static_cast<std::size_t>(block);
            wanted[level][b] = !made[level][b] || (feeds_wanted(layout, wanted, level, block) &&
                                                   !outputs_there(path, layout, level, block));
        }
    bool whole = true;
    for (std::size_t level = 1; level < layout.levels.size(); ++level) {
        block_buffers buffers;
        for (std::int64_t block = 0; block < layout.z_chunks[level]; ++block) {
            if (!wanted[level][static_cast<std::size_t>(block)])
                continue;
            if (!inputs_there(path, layout, level, block)) {
                whole = false;
                continue;
            }
            const block_claim claim(path, level, block);
            // What this run waited for may have changed everything: made by
            // the run whose claim it waited out, with the next level made
            // too (and the staged data perhaps removed since).
            if (block_made(path, layout, level, block) &&
                (!feeds_unmade(path, layout, level, block) ||
                 outputs_there(path, layout, level, block)))
                continue;
            if (!inputs_there(path, layout, level, block)) {
                whole = false;
                continue;
            }
            make_block(path, layout, level, block, threads, buffers);
        }
    }
    // Every block was made before, by this run, or by the run whose claim
    // it waited out.
    if (!whole)
        return false;
    remove_tree(staging_dir(path));
    return true;
}

}  // namespace orvane
