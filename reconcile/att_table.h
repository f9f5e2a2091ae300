// The attribute table: every attribute of the database by name, with its id and
// reference count. std::string orders by unsigned byte value, a shorter key
// before every longer one that starts with it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

typedef std::map<std::string, std::pair<std::uint32_t, std::int32_t>> AttTable;
