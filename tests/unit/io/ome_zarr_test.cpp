// The volume's chunks and metadata, and the check of a volume already there.
#include "io/ome_zarr.hpp"

#include "base/error.hpp"
#include "tiff_io.hpp"

#include <blosc.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <random>

using nlohmann::json;
using orvane::plane_size;

namespace {

namespace fs = std::filesystem;

class Volume : public ::testing::Test {
protected:
    std::string path = orvane_test::make_temp_dir() + "/volume.zarr";

    void SetUp() override { fs::create_directory(path); }

    // The samples of a chunk file, as any Blosc reader gets them.
    std::vector<std::uint16_t> chunk(const std::string& key)
    {
        const std::string bytes = orvane_test::read_file(path + "/" + key);
        std::size_t size = 0, compressed = 0, block = 0;
        blosc_cbuffer_sizes(bytes.data(), &size, &compressed, &block);
        EXPECT_EQ(compressed, bytes.size()) << key;
        std::vector<std::uint16_t> samples(size / 2);
        EXPECT_EQ(blosc_decompress_ctx(bytes.data(), samples.data(), size, 1),
                  static_cast<int>(size))
            << key;
        return samples;
    }

    json read_json(const std::string& key)
    {
        return json::parse(orvane_test::read_file(path + "/" + key));
    }

    // The message of the error prepare_volume throws, empty when it throws none.
    std::string refusal(const orvane::volume_layout& layout)
    {
        try {
            orvane::prepare_volume(path, layout);
        } catch (const orvane::error& e) {
            EXPECT_EQ(e.kind(), orvane::failure_kind::volume);
            return e.what();
        }
        return "";
    }
};

// Chunks past the plane's edges are stored whole, zero-filled; a chunk of
// zeros is written too; level 1 is the rounded mean of level 0.
TEST_F(Volume, EveryChunkOfEveryLevelHoldsItsPartOfThePlane)
{
    const plane_size full{2100, 1030};
    const auto layout =
        orvane::make_volume_layout("v", 2, full, std::nullopt, {}, orvane::pyramid_form::planar);
    ASSERT_EQ(layout.levels.size(), 3u);
    orvane::prepare_volume(path, layout);
    std::vector<std::uint16_t> plane(static_cast<std::size_t>(full.width * full.height));
    std::mt19937 random(5);
    for (auto& v : plane)
        v = static_cast<std::uint16_t>(random());
    orvane::write_volume_planes(path, layout, 1, plane.data(), 2);
    const std::vector<std::uint16_t> zeros(plane.size(), 0);
    orvane::write_volume_planes(path, layout, 0, zeros.data(), 1);

    // Level 0, the chunk at the bottom right: 52 of 1024 columns, 6 of 1024 rows.
    const std::vector<std::uint16_t> corner = chunk("0/1/1/2");
    ASSERT_EQ(corner.size(), 1024u * 1024u);
    for (std::int64_t y = 0; y < 1024; ++y)
        for (std::int64_t x = 0; x < 1024; ++x) {
            const std::uint16_t want =
                y < 6 && x < 52 ? plane[static_cast<std::size_t>((1024 + y) * 2100 + 2048 + x)] : 0;
            ASSERT_EQ(corner[static_cast<std::size_t>(y * 1024 + x)], want) << x << ", " << y;
        }
    // A chunk of noise no compressor makes smaller is stored as it is, shuffled.
    const std::vector<std::uint16_t> noise = chunk("0/1/0/0");
    EXPECT_EQ(orvane_test::read_file(path + "/0/1/0/0").size(), 16u + 8u + 2u * 1024u * 1024u);
    for (std::int64_t y = 0; y < 1024; ++y)
        ASSERT_TRUE(std::equal(&noise[static_cast<std::size_t>(y * 1024)],
                               &noise[static_cast<std::size_t>(y * 1024 + 1024)],
                               &plane[static_cast<std::size_t>(y * 2100)]))
            << "row " << y;
    // Level 1 (1050 x 515), its last chunk column: pixel (1049, 514) covers (2098..2099,
    // 1028..1029).
    const std::vector<std::uint16_t> right = chunk("1/1/0/1");
    const double sum = static_cast<double>(plane[1028 * 2100 + 2098]) + plane[1028 * 2100 + 2099] +
                       plane[1029 * 2100 + 2098] + plane[1029 * 2100 + 2099];
    EXPECT_EQ(right[514 * 1024 + 25], static_cast<std::uint16_t>(std::floor(sum / 4 + 0.5)));
    EXPECT_EQ(right[514 * 1024 + 26], 0);
    // Level 2 (525 x 258) is one chunk of its own size.
    EXPECT_EQ(chunk("2/1/0/0").size(), 525u * 258u);
    EXPECT_EQ(read_json("2/.zarray")["chunks"], json({1, 258, 525}));

    for (const char* key : {"0/0/0/0", "0/0/1/2", "1/0/0/1", "2/0/0/0"})
        EXPECT_EQ(chunk(key), std::vector<std::uint16_t>(chunk(key).size(), 0)) << key;
    EXPECT_TRUE(orvane::check_volume_planes(path, layout, 0).whole);
    fs::remove(path + "/1/1/0/1");
    EXPECT_FALSE(orvane::check_volume_planes(path, layout, 1).whole);
    for (const auto& entry : fs::recursive_directory_iterator(path))
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
}

// Y and X swapped, a scale not multiplied by 2^l or a translation off by
// half a pixel would each put level 2 elsewhere in a viewer.
TEST_F(Volume, ScalesAndTranslationsLineUpPixelCentres)
{
    const auto calibrated = orvane::make_volume_layout(
        "v", 3, {4000, 3000}, orvane::voxel_size{0.5, 0.25, 2}, {}, orvane::pyramid_form::planar);
    const json ms = json::parse(orvane::attributes_text(calibrated))["multiscales"][0];
    EXPECT_EQ(ms["version"], "0.4");
    EXPECT_EQ(ms["axes"][1], json({{"name", "y"}, {"type", "space"}, {"unit", "micrometer"}}));
    ASSERT_EQ(ms["datasets"].size(), 3u);
    EXPECT_EQ(ms["datasets"][0]["coordinateTransformations"].size(), 1u);
    const json level2 = ms["datasets"][2];
    EXPECT_EQ(level2["path"], "2");
    EXPECT_EQ(level2["coordinateTransformations"][0]["scale"], json({2.0, 1.0, 2.0}));
    EXPECT_EQ(level2["coordinateTransformations"][1]["translation"], json({0.0, 0.375, 0.75}));

    const auto pixels = orvane::make_volume_layout("v", 3, {4000, 3000}, std::nullopt, {},
                                                   orvane::pyramid_form::planar);
    const json plain = json::parse(orvane::attributes_text(pixels))["multiscales"][0];
    EXPECT_FALSE(plain["axes"][2].contains("unit"));
    EXPECT_EQ(plain["datasets"][1]["coordinateTransformations"][0]["scale"], json({1.0, 2.0, 2.0}));
    EXPECT_EQ(plain["datasets"][1]["coordinateTransformations"][1]["translation"],
              json({0.0, 0.5, 0.5}));
}

// Where z halves, where the levels stop, the chunks and the scales of the
// volumetric form: voxels flat until level 3 (0.5 x 0.5 x 2), cubes that
// halve z at once (1 x 1 x 1), no voxel size (z never halves, z not counted
// in the stop), and a stack too thin in y and x for any axis to halve.
TEST(VolumeLayout, ZHalvesWhereTheSpacingIsUnderTwoPixelsAndTheLevelsStopAt512)
{
    const auto levels = [](const orvane::volume_layout& layout) {
        std::vector<std::vector<std::int64_t>> all;
        for (std::size_t l = 0; l < layout.levels.size(); ++l)
            all.push_back({layout.depths[l], layout.levels[l].height, layout.levels[l].width,
                           layout.chunk_depths[l], layout.chunk(l).height, layout.chunk(l).width,
                           layout.z_chunks[l], layout.z_halvings[l]});
        return all;
    };
    using rows = std::vector<std::vector<std::int64_t>>;
    const auto flat =
        orvane::make_volume_layout("v", 1001, {5001, 3001}, orvane::voxel_size{0.5, 0.5, 2});
    EXPECT_EQ(levels(flat), (rows{{1001, 3001, 5001, 1, 1024, 1024, 1001, 0},
                                  {1001, 1501, 2501, 16, 512, 512, 63, 0},
                                  {1001, 751, 1251, 16, 512, 512, 63, 0},
                                  {501, 376, 626, 16, 376, 512, 32, 1},
                                  {251, 188, 313, 16, 188, 313, 16, 2}}));
    const json last = json::parse(orvane::attributes_text(flat))["multiscales"][0]["datasets"][4];
    EXPECT_EQ(last["coordinateTransformations"][0]["scale"], json({8.0, 8.0, 8.0}));
    EXPECT_EQ(last["coordinateTransformations"][1]["translation"], json({3.0, 3.75, 3.75}));
    EXPECT_EQ(json::parse(orvane::array_text(flat, 3))["chunks"], json({16, 376, 512}));
    EXPECT_EQ(json::parse(orvane::array_text(flat, 3))["shape"], json({501, 376, 626}));

    const auto cubes =
        orvane::make_volume_layout("v", 3, {2000, 1000}, orvane::voxel_size{1, 1, 1});
    EXPECT_EQ(levels(cubes), (rows{{3, 1000, 2000, 1, 1000, 1024, 3, 0},
                                   {2, 500, 1000, 2, 500, 512, 1, 1},
                                   {1, 250, 500, 1, 250, 500, 1, 2}}));
    const json second =
        json::parse(orvane::attributes_text(cubes))["multiscales"][0]["datasets"][2];
    EXPECT_EQ(second["coordinateTransformations"][1]["translation"], json({1.5, 1.5, 1.5}));

    const auto pixels = orvane::make_volume_layout("v", 2000, {600, 100}, std::nullopt);
    EXPECT_EQ(levels(pixels),
              (rows{{2000, 100, 600, 1, 100, 600, 2000, 0}, {2000, 50, 300, 16, 50, 300, 125, 0}}));
    EXPECT_EQ(json::parse(orvane::attributes_text(pixels))["orvane"]["pyramid"], "volumetric");

    const auto thin = orvane::make_volume_layout("v", 2000, {2, 2}, orvane::voxel_size{1, 1, 100});
    EXPECT_EQ(levels(thin), (rows{{2000, 2, 2, 1, 2, 2, 2000, 0}, {2000, 1, 1, 16, 1, 1, 125, 0}}));
    EXPECT_FALSE(orvane::make_volume_layout("v", 5, {512, 512}, std::nullopt).staged());
}

// A volume of another run would get this run's slices mixed into its own.
TEST_F(Volume, AVolumeOfAnotherShapeOrScaleIsRefusedBeforeAnythingIsWritten)
{
    const auto layout = orvane::make_volume_layout("v", 4, {30, 20}, orvane::voxel_size{1, 1, 3});
    orvane::prepare_volume(path, layout);
    const std::string attributes = orvane_test::read_file(path + "/.zattrs");
    EXPECT_EQ(refusal(layout), "");  // the same run again

    const std::string shape =
        refusal(orvane::make_volume_layout("v", 5, {30, 20}, orvane::voxel_size{1, 1, 3}));
    EXPECT_NE(shape.find("0/.zarray"), std::string::npos) << shape;
    EXPECT_NE(shape.find("its shape is [4,20,30] where this run's is [5,20,30]"), std::string::npos)
        << shape;
    const std::string scale =
        refusal(orvane::make_volume_layout("v", 4, {30, 20}, orvane::voxel_size{1, 1, 2}));
    EXPECT_NE(scale.find(".zattrs"), std::string::npos) << scale;
    EXPECT_NE(scale.find("level 0"), std::string::npos) << scale;
    EXPECT_NE(refusal(orvane::make_volume_layout("v", 4, {30, 20}, std::nullopt)).find("axes"),
              std::string::npos);
    // Another level count shows in the attributes first.
    EXPECT_NE(refusal(orvane::make_volume_layout("v", 4, {3000, 20}, orvane::voxel_size{1, 1, 3}))
                  .find("levels"),
              std::string::npos);
    EXPECT_EQ(orvane_test::read_file(path + "/.zattrs"), attributes);
    EXPECT_FALSE(fs::exists(path + "/1"));

    orvane_test::write_file(path + "/0/.zarray", "{\"zarr_format\": 2, \"shape\": [4, 20, 30], "
                                                 "\"dtype\": \"<u4\"}");
    EXPECT_NE(refusal(layout).find("its dtype is \"<u4\" where this run's is \"<u2\""),
              std::string::npos);
}

// The depth of the metadata is counted before it is parsed: brackets in a
// string (here the volume's name) are no nesting.
TEST_F(Volume, BracketsInAStringAreNoNesting)
{
    const auto layout = orvane::make_volume_layout(std::string(300, '[') + "{", 2, {30, 20},
                                                   std::nullopt, {2, 1, 3, 17, 20});
    orvane::prepare_volume(path, layout);
    EXPECT_EQ(refusal(layout), "");
    EXPECT_EQ(read_json(".zattrs")["orvane"], json({{"splitnumber", 2},
                                                    {"xoverlap", 1},
                                                    {"yoffset", 3},
                                                    {"tile_width", 17},
                                                    {"tile_height", 20},
                                                    {"slices", 2},
                                                    {"pyramid", "volumetric"}}));
}

}  // namespace
