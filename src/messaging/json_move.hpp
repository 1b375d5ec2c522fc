#pragma once
// Taking a value out of a message without copying it. A message reassembled from chunks lives in
// its own arena; assigning one of its values to a value made with the default storage copies it node
// by node into that storage, while move construction takes it over with a reference to its arena.
#include <boost/json/value.hpp>

#include <memory>

namespace gridlet::json_move {

// `to` becomes `from` (left null), in `from`'s storage.
inline void take(boost::json::value& to, boost::json::value& from) noexcept {
    std::destroy_at(&to);
    std::construct_at(&to, std::move(from));
}

}  // namespace gridlet::json_move
