// The extension must be built against a standard (GIL) CPython 3.14: the free-threaded ABI and
// other minor versions lay out objects differently, and the module would crash on import. The
// free-threaded headers are refused by binding/python.hpp itself (the free_threaded_headers CTest
// case); this checks the version and where the headers came from.
#include "binding/python.hpp"
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 14, "built against the wrong CPython");

TEST(Foundation, HeadersAreCPython314GilBuild) {
    EXPECT_EQ(PY_MAJOR_VERSION, 3);
    EXPECT_EQ(PY_MINOR_VERSION, 14);
    EXPECT_GE(PY_VERSION_HEX, 0x030E0000);
    const std::filesystem::path include{MORVANE_PYTHON_INCLUDE};
    EXPECT_TRUE(std::filesystem::exists(include / "Python.h")) << include;
    EXPECT_TRUE(std::filesystem::exists(include / "pyconfig.h")) << include;
}
