// One chunk of 16-bit samples in Blosc's format: byte-shuffled and zstd-compressed as one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

// The chunk's settings as the volume's metadata states them: zstd at Blosc's
// level 1 (zstd's own level 1) over byte-shuffled 16-bit samples.
constexpr int blosc_chunk_level = 1;
constexpr const char* blosc_chunk_codec = "zstd";

// zstd's level 1 finds its matches through a hash table of 2^13 entries for
// inputs this large. 2^10 entries stay in the first-level cache: about a
// third faster on microscopy chunks, whose noisy low bytes leave few long
// matches to find, for about 1.5 % larger chunks.
constexpr int blosc_chunk_hash_log = 10;
// A hash log of 0 leaves the table's size to zstd, as its level and the
// chunk's size choose it: the frame c-blosc writes for the same settings.
constexpr int zstd_default_hash_log = 0;

// A rectangle of 16-bit samples inside a larger plane: `columns` samples per
// row, `rows` rows, `stride` samples from one row's start to the next.
struct sample_window {
    const std::uint16_t* first = nullptr;
    std::int64_t stride = 0;
    std::int64_t columns = 0;
    std::int64_t rows = 0;
};

// Compresses a chunk of width x height samples whose top-left part is the
// window (the rest, past the window's right and bottom edges, is zero) into
// `out` as a Blosc frame: Blosc's 16-byte header, one block, byte shuffle,
// the block one zstd frame (or the shuffled bytes as they are when zstd
// cannot make them smaller). Every Blosc reader takes it. zstd's hash table
// has 2^zstd_hash_log entries. Reuses the calling thread's buffers and zstd
// context from one chunk to the next. Throws a write error naming path (the
// chunk's file) when zstd fails.
void compress_chunk(const sample_window& window, std::int64_t width, std::int64_t height,
                    std::vector<char>& out, const std::string& path,
                    int zstd_hash_log = blosc_chunk_hash_log);

// The bytes of a Blosc frame's header, which states the frame's sizes.
constexpr std::size_t blosc_header_size = 16;

// What keeps a chunk file of file_size bytes, beginning with `header` (its
// first blosc_header_size bytes, or all of a shorter file), from being a
// whole chunk of sample_bytes bytes of 16-bit samples: its header's sample
// size, uncompressed size or frame size (which must be the file's). Empty
// when they are right. A cut or overwritten chunk, which every reader
// refuses, shows here without its samples being decoded.
std::string blosc_chunk_damage(const char* header, std::uint64_t file_size,
                               std::size_t sample_bytes);

}  // namespace orvane
