// The live page GET / serves, built into the program.
#pragma once

#include <string_view>

namespace belvor::bridge {

std::string_view LivePage();

} // namespace belvor::bridge
