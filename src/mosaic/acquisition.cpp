// The slice count of a list and the tile name of a column and a slice.
#include "mosaic/acquisition.hpp"

#include <utility>

namespace orvane {

std::int32_t count_slices(std::size_t name_count, std::int32_t columns)
{
    const auto divisor = static_cast<std::uint64_t>(static_cast<std::int64_t>(columns));
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(name_count) / divisor);
}

acquisition::acquisition(std::vector<std::string> names, std::int32_t columns, tile_size reference)
    : names_(std::move(names)), columns_(columns),
      slice_count_(count_slices(names_.size(), columns)), reference_(reference)
{
}

const std::string& acquisition::tile_name(std::int32_t column, std::int32_t slice_index) const
{
    return names_.at(static_cast<std::size_t>(std::int64_t{column} * slice_count_ + slice_index));
}

}  // namespace orvane
