// Reads the first channel of a TIFF file's first page with libtiff, refusing what it cannot read
// truly.
#include "io/tile_reader.hpp"

#include "base/error.hpp"
#include "base/warnings.hpp"
#include "io/lzw.hpp"
#include "io/tiff_source.hpp"
#include "io/tile_samples.hpp"
#include "platform/platform.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace orvane {

namespace {

}  // namespace

bool has_tiff_signature(const unsigned char* bytes, std::size_t size)
{
    if (size < 4)
        return false;
    const bool little = bytes[0] == 'I' && bytes[1] == 'I' && bytes[3] == 0;
    const bool big = bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0;
    const unsigned char version = little ? bytes[2] : bytes[3];
    return (little || big) && (version == 42 || version == 43);
}

tile_pixels read_tiff_tile(const std::string& path)
{
    tile_pixels out;
    read_tiff_tile(path, [&](std::uint32_t width, std::uint32_t height) {
        out.width = width;
        out.height = height;
        out.pixels.assign(static_cast<std::size_t>(width) * height, 0);
        return out.pixels.data();
    });
    return out;
}

void read_tiff_tile(const std::string& path, const pixel_allocator& allocate)
{
    // Every band is decoded where it belongs in the whole image.
    class whole_image : public row_sink {
    public:
        explicit whole_image(const pixel_allocator& allocate) : allocate_(allocate) {}
        void begin(std::uint32_t width, std::uint32_t height) override
        {
            width_ = width;
            pixels_ = allocate_(width, height);
        }
        std::uint16_t* room(std::uint32_t y0, std::uint32_t) override
        {
            return pixels_ + std::uint64_t{y0} * width_;
        }
        void rows(std::uint32_t, std::uint32_t, const std::uint16_t*) override {}

    private:
        const pixel_allocator& allocate_;
        std::uint32_t width_ = 0;
        std::uint16_t* pixels_ = nullptr;
    } sink(allocate);
    read_tiff_rows(path, sink);
}

namespace {

// What the first page's directory says about its first channel.
struct page_layout {
    std::uint32_t width = 0, height = 0;
    std::uint16_t compression = COMPRESSION_NONE;
    sample_kind kind = sample_kind::u16;
    std::uint64_t pixel_bytes = 0;  // from one pixel's first sample to the next's
    std::uint64_t row_bytes = 0;    // one row of the first plane
    std::uint64_t limit = 0;        // the most decoded bytes a file of this size can give
};

page_layout read_layout(const tiff_source& source)
{
    TIFF* const tif = source.tif();
    const libtiff_messages& messages = source.messages();
    page_layout page;
    std::uint16_t bits = 1, format = SAMPLEFORMAT_UINT, samples = 1;
    std::uint16_t planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &page.compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);

    if (page.width == 0 || page.height == 0)
        fail_tiff_read("the image is empty (" + std::to_string(page.width) + " x " +
                           std::to_string(page.height) + " pixels)",
                       messages);
    if (samples == 0)
        fail_tiff_read("the image declares 0 samples per pixel", messages);
    // Palette, colour-separated, YCbCr and the other encoded colour spaces
    // would need converting; their first sample is not a grey level.
    if (photometric > PHOTOMETRIC_RGB)
        fail_tiff_read("photometric interpretation " + std::to_string(photometric) +
                           " is not supported",
                       messages);
    const std::string unsupported = classify_samples(bits, format, page.kind);
    if (!unsupported.empty())
        fail_tiff_read(unsupported, messages);
    const std::uint64_t bytes = sample_bytes(page.kind);
    // Samples of one pixel lie together when contiguous; each plane holds one.
    page.pixel_bytes = planar != PLANARCONFIG_SEPARATE ? bytes * samples : bytes;

    const std::uint64_t file_bytes = source.file_bytes();
    page.limit = std::min(page.compression == COMPRESSION_NONE
                              ? file_bytes
                              : std::max(file_bytes * 4096, std::uint64_t{64} << 20),
                          max_decoded_bytes);
    std::uint64_t decoded = 0;  // bytes of the first plane once decoded
    if (!multiply_within(page.width, page.pixel_bytes, max_decoded_bytes, page.row_bytes) ||
        !multiply_within(page.row_bytes, page.height, page.limit, decoded))
        fail_tiff_read("its header declares " + std::to_string(page.width) + " x " +
                           std::to_string(page.height) + " pixels of " +
                           std::to_string(page.pixel_bytes) + " bytes, more than a file of " +
                           std::to_string(file_bytes) + " bytes can hold",
                       messages);
    return page;
}

void read_tiled(const tiff_source& source, const page_layout& page, row_sink& sink,
                clamp_tally& tally)
{
    TIFF* const tif = source.tif();
    const libtiff_messages& messages = source.messages();
    std::uint32_t tile_width = 0, tile_length = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_length);
    std::uint64_t tile_row_bytes = 0, tile_bytes = 0;
    if (tile_width == 0 || tile_length == 0 ||
        !multiply_within(tile_width, page.pixel_bytes, max_decoded_bytes, tile_row_bytes) ||
        !multiply_within(tile_row_bytes, tile_length, page.limit, tile_bytes))
        fail_tiff_read("its tiles of " + std::to_string(tile_width) + " x " +
                           std::to_string(tile_length) + " pixels are not readable",
                       messages);
    if (static_cast<std::uint64_t>(TIFFTileSize64(tif)) != tile_bytes)
        fail_tiff_read("its tile layout is not supported", messages);
    const std::uint64_t across = (page.width + std::uint64_t{tile_width} - 1) / tile_width;
    const std::uint64_t down = (page.height + std::uint64_t{tile_length} - 1) / tile_length;
    if (TIFFNumberOfTiles(tif) < across * down)
        fail_tiff_read("it lacks some of its tiles", messages);
    std::vector<unsigned char> block(static_cast<std::size_t>(tile_bytes));
    for (std::uint64_t y = 0; y < page.height; y += tile_length) {
        const auto y0 = static_cast<std::uint32_t>(y);
        const std::uint32_t band_rows = std::min<std::uint32_t>(tile_length, page.height - y0);
        std::uint16_t* const band = sink.room(y0, band_rows);
        for (std::uint64_t x = 0; x < page.width; x += tile_width) {
            const auto x0 = static_cast<std::uint32_t>(x);
            const std::uint32_t tile = TIFFComputeTile(tif, x0, y0, 0, 0);
            const tmsize_t got =
                TIFFReadEncodedTile(tif, tile, block.data(), static_cast<tmsize_t>(tile_bytes));
            if (got < 0 || static_cast<std::uint64_t>(got) != tile_bytes ||
                !messages.first_error.empty())
                fail_tiff_read("tile " + std::to_string(tile) + " is truncated or corrupt",
                               messages);
            const sample_block part{block.data(),
                                    tile_row_bytes,
                                    page.pixel_bytes,
                                    page.kind,
                                    std::min<std::uint32_t>(tile_width, page.width - x0),
                                    band_rows};
            copy_block(part, pixel_window{band, page.width, x0, 0}, tally);
        }
        sink.rows(y0, band_rows, band);
    }
}

// Plain LZW strips of single 16-bit samples are decoded here, about twice
// as fast as libtiff's decoder; a strip this decoder does not take whole
// goes to libtiff as every other strip does, so libtiff still judges damage.
class own_lzw_strips {
public:
    own_lzw_strips(const tiff_source& source, const page_layout& page, bool direct)
        : source_(source)
    {
        TIFF* const tif = source.tif();
        std::uint16_t predictor = PREDICTOR_NONE, fill_order = FILLORDER_MSB2LSB;
        if (page.compression == COMPRESSION_LZW)
            TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
        TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
        usable_ = direct && page.compression == COMPRESSION_LZW && predictor == PREDICTOR_NONE &&
                  fill_order == FILLORDER_MSB2LSB && !TIFFIsByteSwapped(tif);
    }

    // Whether strip was decoded whole into band, wanted bytes.
    bool decode(std::uint32_t strip, std::uint16_t* band, std::uint64_t wanted)
    {
        if (!usable_)
            return false;
        TIFF* const tif = source_.tif();
        const std::uint64_t raw_bytes = TIFFGetStrileByteCount(tif, strip);
        if (raw_bytes == 0 || raw_bytes > source_.file_bytes())
            return false;
        raw_.resize(static_cast<std::size_t>(raw_bytes));
        const tmsize_t got =
            TIFFReadRawStrip(tif, strip, raw_.data(), static_cast<tmsize_t>(raw_bytes));
        libtiff_messages& messages = source_.messages();
        const bool whole =
            got == static_cast<tmsize_t>(raw_bytes) && messages.first_error.empty() &&
            lzw_decode(raw_.data(), raw_.size(), reinterpret_cast<std::uint8_t*>(band),
                       static_cast<std::size_t>(wanted));
        messages.first_error.clear();  // libtiff reads the strip again and says its own
        return whole;
    }

private:
    const tiff_source& source_;
    bool usable_ = false;
    std::vector<std::uint8_t> raw_;
};

void read_stripped(const tiff_source& source, const page_layout& page, row_sink& sink,
                   clamp_tally& tally)
{
    TIFF* const tif = source.tif();
    const libtiff_messages& messages = source.messages();
    std::uint32_t rows_per_strip = page.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    rows_per_strip = std::min(std::max<std::uint32_t>(rows_per_strip, 1), page.height);
    const std::uint64_t strip_bytes = page.row_bytes * rows_per_strip;  // within the limit
    if (static_cast<std::uint64_t>(TIFFStripSize64(tif)) != strip_bytes)
        fail_tiff_read("its strip layout is not supported", messages);
    const std::uint64_t strips = (page.height + std::uint64_t{rows_per_strip} - 1) / rows_per_strip;
    if (TIFFNumberOfStrips(tif) < strips)
        fail_tiff_read("it lacks some of its strips", messages);
    // Single-sample 16-bit unsigned strips are whole rows of the image as it is kept
    // (libtiff swaps the byte order): they are decoded straight into it.
    const bool direct = page.kind == sample_kind::u16 && page.pixel_bytes == 2;
    std::vector<unsigned char> block(direct ? 0 : static_cast<std::size_t>(strip_bytes));
    own_lzw_strips own_lzw(source, page, direct);
    for (std::uint64_t strip = 0; strip < strips; ++strip) {
        const auto y0 = static_cast<std::uint32_t>(strip * rows_per_strip);
        const std::uint32_t rows = std::min(rows_per_strip, page.height - y0);
        const std::uint64_t wanted = page.row_bytes * rows;
        std::uint16_t* const band = sink.room(y0, rows);
        if (!own_lzw.decode(static_cast<std::uint32_t>(strip), band, wanted)) {
            void* const target =
                direct ? static_cast<void*>(band) : static_cast<void*>(block.data());
            const tmsize_t got = TIFFReadEncodedStrip(tif, static_cast<std::uint32_t>(strip),
                                                      target, static_cast<tmsize_t>(wanted));
            if (got < 0 || static_cast<std::uint64_t>(got) != wanted ||
                !messages.first_error.empty())
                fail_tiff_read("strip " + std::to_string(strip) + " is truncated or corrupt",
                               messages);
            if (!direct)
                copy_block(sample_block{block.data(), page.row_bytes, page.pixel_bytes, page.kind,
                                        page.width, rows},
                           pixel_window{band, page.width, 0, 0}, tally);
        }
        sink.rows(y0, rows, band);
    }
}

// A tile of several pages is most likely a column's whole stack in one file,
// listed where one slice was meant: say so, since only its first page is used.
// A single page costs nothing: its directory already says no other follows.
void warn_of_other_pages(const tiff_source& source)
{
    TIFF* const tif = source.tif();
    if (TIFFLastDirectory(tif))
        return;
    // Counting walks the chain of directories; damage past the first page
    // does not concern the pixels, which are read by now.
    const tdir_t pages = TIFFNumberOfDirectories(tif);
    source.messages().first_error.clear();
    if (pages > 1)
        warn_once("pages", "'" + source.messages().path + "' has " + std::to_string(pages) +
                               " pages; only the first is used (list one file per slice)");
}

}  // namespace

void read_tiff_rows(const std::string& path, row_sink& sink)
{
    libtiff_messages messages;
    const tiff_source source(path, messages);
    const page_layout page = read_layout(source);
    sink.begin(page.width, page.height);
    clamp_tally tally;
    if (TIFFIsTiled(source.tif()))
        read_tiled(source, page, sink, tally);
    else
        read_stripped(source, page, sink, tally);
    warn_of_other_pages(source);
    // Keyed by the file, so a tile read twice (the reference tile) warns once.
    const std::string clamped = describe_clamping(tally, page.kind);
    if (!clamped.empty())
        warn_once("clamp:" + path, "'" + path + "': " + clamped);
}

}  // namespace orvane
