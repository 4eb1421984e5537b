// Writes TIFF files of arbitrary depth, layout and byte order for reader tests.
#include "tiff_forms.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace orvane_test {

namespace {

// Packs integer samples MSB-first at any depth, as TIFF stores sub-byte and
// odd depths; whole-byte depths are stored in this machine's order and
// libtiff swaps them for a big-endian file.
class sample_packer {
public:
    explicit sample_packer(std::vector<unsigned char>& out) : out_(out) {}

    void put(const tiff_form& form, double value)
    {
        if (form.format == SAMPLEFORMAT_IEEEFP) {
            if (form.bits == 32) {
                const auto f = static_cast<float>(value);
                append(&f, sizeof f);
            } else {
                append(&value, sizeof value);
            }
            return;
        }
        const auto raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        if (form.bits % 8 == 0 && form.bits != 24) {
            const std::uint8_t b8 = static_cast<std::uint8_t>(raw);
            const std::uint16_t b16 = static_cast<std::uint16_t>(raw);
            const std::uint32_t b32 = static_cast<std::uint32_t>(raw);
            switch (form.bits) {
            case 8: append(&b8, 1); break;
            case 16: append(&b16, 2); break;
            case 32: append(&b32, 4); break;
            default: append(&raw, 8); break;
            }
            return;
        }
        for (int bit = form.bits - 1; bit >= 0; --bit) {
            if (bit_ == 0)
                out_.push_back(0);
            if ((raw >> bit) & 1u)
                out_.back() |= static_cast<unsigned char>(0x80u >> bit_);
            bit_ = (bit_ + 1) % 8;
        }
    }

    void end_row() { bit_ = 0; }  // rows start on a byte boundary

private:
    void append(const void* data, std::size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        out_.insert(out_.end(), bytes, bytes + size);
    }

    std::vector<unsigned char>& out_;
    int bit_ = 0;
};

struct close_tiff {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

// The samples of channels [first, last) of a block of rows and columns.
std::vector<unsigned char> block(const tiff_form& form, std::uint32_t x0, std::uint32_t y0,
                                 std::uint32_t columns, std::uint32_t rows, std::uint16_t first,
                                 std::uint16_t last, std::uint16_t page)
{
    std::vector<unsigned char> bytes;
    sample_packer packer(bytes);
    for (std::uint32_t y = y0; y < y0 + rows; ++y) {
        for (std::uint32_t x = x0; x < x0 + columns; ++x)
            for (std::uint16_t c = first; c < last; ++c)
                // Padding of edge tiles holds values too, so a reader that
                // copies it shows.
                packer.put(form, sample_value(form, x, y, c, page));
        packer.end_row();
    }
    return bytes;
}

}  // namespace

double sample_value(const tiff_form& form, std::uint32_t x, std::uint32_t y, std::uint16_t c,
                    std::uint16_t p)
{
    if (!form.values.empty() && c == 0 && p == 0)
        return form.values[(std::size_t{y} * form.width + x) % form.values.size()];
    const double position = x + 37.0 * y + 1009.0 * c + 5003.0 * p;
    if (form.format == SAMPLEFORMAT_IEEEFP)
        return position * 1.25 + 0.75;  // fractions show truncation
    const int bits = form.bits < 64 ? form.bits : 63;
    const double range = std::ldexp(1.0, bits);
    // Spread over the whole range so high bits and signs are exercised.
    double v = std::fmod(position * 2654435761.0, range);
    if (form.format == SAMPLEFORMAT_INT)
        v -= range / 2;
    return v;
}

std::uint16_t expected_pixel(const tiff_form& form, std::uint32_t x, std::uint32_t y)
{
    const double v = sample_value(form, x, y, 0, 0);
    if (!(v > 0))
        return 0;  // also NaN
    return v >= 65535 ? 65535 : static_cast<std::uint16_t>(v);
}

void write_form(const std::string& path, const tiff_form& form)
{
    std::string mode = "w";
    mode += form.big_endian ? "b" : "l";
    if (form.bigtiff)
        mode += "8";
    std::unique_ptr<TIFF, close_tiff> tif(TIFFOpen(path.c_str(), mode.c_str()));
    if (!tif)
        throw std::runtime_error("cannot create " + path);
    const std::uint16_t planes = form.planar ? form.samples : 1;
    const std::uint16_t per_block = form.planar ? 1 : form.samples;
    for (std::uint16_t page = 0; page < form.pages; ++page) {
        TIFF* t = tif.get();
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, form.width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, form.height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, form.bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, form.format);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, form.samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                     form.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG,
                     form.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, form.compression);
        if (form.pages > 1)
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        if (form.tile_width) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, form.tile_width);
            TIFFSetField(t, TIFFTAG_TILELENGTH, form.tile_length);
            for (std::uint16_t plane = 0; plane < planes; ++plane)
                for (std::uint32_t y = 0; y < form.height; y += form.tile_length)
                    for (std::uint32_t x = 0; x < form.width; x += form.tile_width) {
                        auto bytes = block(form, x, y, form.tile_width, form.tile_length,
                                           plane * per_block, (plane + 1) * per_block, page);
                        const std::uint32_t tile = TIFFComputeTile(t, x, y, 0, plane);
                        if (TIFFWriteEncodedTile(t, tile, bytes.data(),
                                                 static_cast<tmsize_t>(bytes.size())) < 0)
                            throw std::runtime_error("cannot write a tile of " + path);
                    }
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, form.rows_per_strip);
            const std::uint32_t strips =
                (form.height + form.rows_per_strip - 1) / form.rows_per_strip;
            for (std::uint16_t plane = 0; plane < planes; ++plane)
                for (std::uint32_t s = 0; s < strips; ++s) {
                    const std::uint32_t y = s * form.rows_per_strip;
                    const std::uint32_t rows = std::min(form.rows_per_strip, form.height - y);
                    auto bytes = block(form, 0, y, form.width, rows, plane * per_block,
                                       (plane + 1) * per_block, page);
                    if (TIFFWriteEncodedStrip(t, plane * strips + s, bytes.data(),
                                              static_cast<tmsize_t>(bytes.size())) < 0)
                        throw std::runtime_error("cannot write a strip of " + path);
                }
        }
        if (!TIFFWriteDirectory(t))
            throw std::runtime_error("cannot write a directory of " + path);
    }
}

}  // namespace orvane_test
