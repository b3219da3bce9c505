#include "DuskFerryAgent/input/KeyMap.h"

namespace df {

const std::unordered_map<char32_t, uint16_t>& KeyMap::table() {
    static const std::unordered_map<char32_t, uint16_t> table{
        {U'a', 0},   {U's', 1},   {U'd', 2},   {U'f', 3},   {U'h', 4},   {U'g', 5},
        {U'z', 6},   {U'x', 7},   {U'c', 8},   {U'v', 9},   {U'b', 11},  {U'q', 12},
        {U'w', 13},  {U'e', 14},  {U'r', 15},  {U'y', 16},  {U't', 17},  {U'1', 18},
        {U'2', 19},  {U'3', 20},  {U'4', 21},  {U'6', 22},  {U'5', 23},  {U'=', 24},
        {U'9', 25},  {U'7', 26},  {U'-', 27},  {U'8', 28},  {U'0', 29},  {U']', 30},
        {U'o', 31},  {U'u', 32},  {U'[', 33},  {U'i', 34},  {U'p', 35},  {U'l', 37},
        {U'j', 38},  {U'\'', 39}, {U'k', 40},  {U';', 41},  {U'\\', 42}, {U',', 43},
        {U'/', 44},  {U'n', 45},  {U'm', 46},  {U'.', 47},  {U'`', 50},  {U' ', 49},
    };
    return table;
}

std::optional<uint16_t> KeyMap::keyCode(char32_t character) {
    const auto& t = table();
    auto it = t.find(character);
    if (it == t.end()) return std::nullopt;
    return it->second;
}

}  // namespace df
