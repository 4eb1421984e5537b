// Strip encoding and writing: strips encoded in batches, in parallel if asked, written in order.
#include "io/strip_writer.hpp"

#include "base/avx2_clones.hpp"
#include "base/parallel.hpp"
#include "platform/huge_pages.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace orvane {

namespace {

// The smallest and largest sample. Sixteen running minima and maxima, one
// per lane, make a loop the compiler turns into vector instructions (a
// reduction over one variable it leaves scalar). Baseline x86-64 has no
// unsigned 16-bit minimum, so a version for AVX2 is chosen at load time
// where the processor has it.
ORVANE_AVX2_CLONES
void sample_range(const std::uint16_t* pixels, std::size_t count, std::uint16_t& low,
                  std::uint16_t& high)
{
    constexpr std::size_t lanes = 16;
    std::uint16_t lane_low[lanes], lane_high[lanes];
    for (std::size_t j = 0; j < lanes; ++j) {
        lane_low[j] = 65535;
        lane_high[j] = 0;
    }
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes)
        for (std::size_t j = 0; j < lanes; ++j) {
            const std::uint16_t v = pixels[i + j];
            lane_low[j] = v < lane_low[j] ? v : lane_low[j];
            lane_high[j] = v > lane_high[j] ? v : lane_high[j];
        }
    for (std::size_t j = 0; j < lanes; ++j) {
        low = std::min(low, lane_low[j]);
        high = std::max(high, lane_high[j]);
    }
    for (; i < count; ++i) {
        low = std::min(low, pixels[i]);
        high = std::max(high, pixels[i]);
    }
}

// The encoded strips of one batch: strip first + k in slot k, slot_bytes long.
struct batch_buffer {
    std::size_t slot_bytes;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    // Only the encoder writes it, and only what it wrote is read: it needs no
    // clearing, and huge pages (for the megabytes of a parallel write) spare
    // fresh memory most of its faults.
    huge_array<std::uint8_t> encoded;
    std::vector<std::size_t> sizes;
    // Each strip's sample range, taken while the strip is in cache for the encoder.
    std::vector<std::uint16_t> lows, highs;

    batch_buffer(std::uint32_t slots, std::size_t bytes_per_slot)
        : slot_bytes(bytes_per_slot),
          encoded(make_large_array<std::uint8_t>(slots * bytes_per_slot)), sizes(slots),
          lows(slots), highs(slots)
    {
    }
    void reset(std::uint32_t first_strip, std::uint32_t strips)
    {
        first = first_strip;
        count = strips;
        std::fill(lows.begin(), lows.begin() + strips, std::uint16_t{65535});
        std::fill(highs.begin(), highs.begin() + strips, std::uint16_t{0});
    }
    void widen(std::uint16_t& low, std::uint16_t& high) const
    {
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            low = std::min(low, lows[slot]);
            high = std::max(high, highs[slot]);
        }
    }
};

// Input bytes encoded per batch when strips are encoded in parallel: enough
// strips to keep the threads busy, few enough to bound the buffers. A small
// image is cut into at least this many batches, so that writing one batch
// overlaps the encoding of the next for most of the file.
constexpr std::size_t batch_input_bytes = std::size_t{1} << 20;
constexpr std::size_t min_batches = 8;
// Writeback is started every few MiB so the device works while the next
// strips are encoded, and a sync later finds little left to do.
constexpr std::size_t writeback_bytes = std::size_t{4} << 20;

// Encodes the strips of one image in batches and writes them in order.
class strip_writer {
public:
    strip_writer(tiff_file& file, const strip_plan& plan, const strip_codec& codec, int threads)
        : file_(file), plan_(plan), codec_(codec), threads_(std::max(1, threads)),
          batch_(batch_strips()), slot_bytes_(codec.bound(plan.size(0)))
    {
    }

    sample_bounds write_all()
    {
        if (threads_ > 1 && !omp_in_parallel())
            write_pipelined();
        else
            write_in_turn();
        return {low_, high_};
    }

private:
    std::uint32_t batch_strips() const
    {
        if (threads_ == 1)
            return 1;
        const std::size_t image_bytes = std::size_t{plan_.height} * plan_.row_bytes;
        const std::size_t batch_bytes = std::min(batch_input_bytes, image_bytes / min_batches);
        const std::size_t by_size = std::max<std::size_t>(1, batch_bytes / plan_.size(0));
        return static_cast<std::uint32_t>(std::min<std::size_t>(
            plan_.count, std::max<std::size_t>(by_size, 4 * static_cast<std::size_t>(threads_))));
    }

    std::uint32_t batches() const { return (plan_.count + batch_ - 1) / batch_; }

    void encode(batch_buffer& buffer, std::uint32_t slot) const
    {
        const std::uint32_t strip = buffer.first + slot;
        const std::uint8_t* bytes = plan_.bytes + plan_.offset(strip);
        sample_range(reinterpret_cast<const std::uint16_t*>(bytes),
                     plan_.size(strip) / sizeof(std::uint16_t), buffer.lows[slot],
                     buffer.highs[slot]);
        buffer.sizes[slot] = codec_.encode(bytes, plan_.size(strip),
                                           buffer.encoded.get() + slot * buffer.slot_bytes);
    }

    // libtiff takes the data through a non-const pointer but does not change it.
    void write(const batch_buffer& buffer)
    {
        buffer.widen(low_, high_);
        for (std::uint32_t slot = 0; slot < buffer.count; ++slot) {
            const auto size = static_cast<tmsize_t>(buffer.sizes[slot]);
            file_.begin();
            file_.check(TIFFWriteRawStrip(file_.handle(), buffer.first + slot,
                                          buffer.encoded.get() + slot * slot_bytes_, size) == size,
                        "write");
            unsynced_ += buffer.sizes[slot];
        }
        if (unsynced_ >= writeback_bytes) {
            file_.start_writeback();
            unsynced_ = 0;
        }
    }

    // Inside a parallel region (a slice worker's) nesting is off, so a nested
    // team would have one thread; tasks instead go to the team's threads that
    // have no slice left.
    void write_in_turn()
    {
        batch_buffer buffer(batch_, slot_bytes_);
        for (std::uint32_t b = 0; b < batches(); ++b) {
            buffer.reset(b * batch_, std::min(batch_, plan_.count - b * batch_));
            loop_failures failures;
            const auto slots = static_cast<std::int64_t>(buffer.count);
            if (threads_ == 1 || buffer.count <= 1) {
                for (std::int64_t slot = 0; slot < slots && !failures.stopped(); ++slot)
                    failures.attempt(slot,
                                     [&] { encode(buffer, static_cast<std::uint32_t>(slot)); });
            } else {
#pragma omp taskloop grainsize(4) shared(buffer, failures)
                for (std::int64_t slot = 0; slot < slots; ++slot)
                    failures.attempt(slot,
                                     [&] { encode(buffer, static_cast<std::uint32_t>(slot)); });
            }
            failures.rethrow_lowest();
            write(buffer);
        }
    }

    void spawn_encoding(batch_buffer& buffer, std::uint32_t b, loop_failures& failures)
    {
        buffer.reset(b * batch_, std::min(batch_, plan_.count - b * batch_));
        batch_buffer* const target = &buffer;
        loop_failures* const record = &failures;
        for (std::uint32_t from = 0; from < buffer.count; from += 4) {
            const std::uint32_t to = std::min(buffer.count, from + 4);
#pragma omp task firstprivate(from, to, target, record)
            for (std::uint32_t slot = from; slot < to; ++slot)
                record->attempt(target->first + slot, [&] { encode(*target, slot); });
        }
    }

    // Two buffers: the strips of one batch are written by one thread while
    // the others encode the next batch.
    void write_pipelined()
    {
        batch_buffer buffers[2] = {batch_buffer(batch_, slot_bytes_),
                                   batch_buffer(batch_, slot_bytes_)};
        loop_failures failures;
        run_team(threads_, [&](int) {
#pragma omp single
            {
#pragma omp taskgroup
                spawn_encoding(buffers[0], 0, failures);
                for (std::uint32_t b = 0; b < batches() && !failures.stopped(); ++b) {
#pragma omp taskgroup
                    {
                        if (b + 1 < batches())
                            spawn_encoding(buffers[(b + 1) % 2], b + 1, failures);
                        if (!failures.stopped())
                            failures.attempt(b * batch_, [&] { write(buffers[b % 2]); });
                    }
                }
            }
        });
        failures.rethrow_lowest();
    }

    tiff_file& file_;
    const strip_plan& plan_;
    const strip_codec& codec_;
    int threads_;
    std::uint32_t batch_;
    std::size_t slot_bytes_;
    std::size_t unsynced_ = 0;
    std::uint16_t low_ = 65535;
    std::uint16_t high_ = 0;
};

}  // namespace

sample_bounds write_strips(tiff_file& file, const strip_plan& plan, const strip_codec& codec,
                           int threads)
{
    return strip_writer(file, plan, codec, threads).write_all();
}

}  // namespace orvane
