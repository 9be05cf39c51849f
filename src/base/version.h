// The program's version, from the build (the project's version in CMakeLists.txt).
#pragma once

#ifndef KELP_VERSION
#error "KELP_VERSION comes from the build"
#endif
constexpr const char* KELP_VERSION_TEXT = KELP_VERSION;
