// The benchmark's data paths deliver every byte as sent: a short run of bench/run through every
// path, each image read back and compared pixel for pixel, every question answered by a click.
// No timing is judged here.
#include "support/xtest.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

std::string sourcedir()
{
    std::string f = __FILE__; // <source>/tests/integration/bench_test.cpp
    for (int i = 0; i < 3; ++i)
        f = f.substr(0, f.rfind('/'));
    return f;
}

// The value of "key": N inside the JSON object of one path, or -1.
long field(const std::string& json, const std::string& pathname, const std::string& key)
{
    const auto at = json.find("\"" + pathname + "\": {");
    if (at == std::string::npos)
        return -1;
    const auto end = json.find("\n    }", at);
    const auto k = json.find("\"" + key + "\": ", at);
    if (k == std::string::npos || k > end)
        return -1;
    return std::atol(json.c_str() + k + key.size() + 4);
}

} // namespace

TEST(Bench, EveryPathIsByteExactAndAWrongByteIsSeen)
{
    for (const char* prog : {"Xvfb", "xdotool", "socat", "python3"})
        if (!haveprog(prog))
            GTEST_SKIP() << prog << " missing";
    char dir[] = "/tmp/velkoran-bench-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/quick.json";

    const auto r = runcmd({"python3", sourcedir() + "/bench/run", "--quick", "--velkoran",
                           VELKORAN_BIN, "--build", BUILD_DIR, "--no-build", "--out", out},
                          {}, 100000);
    std::ifstream f(out);
    std::stringstream s;
    s << f.rdbuf();
    const std::string json = s.str();
    ::unlink(out.c_str());
    ::rmdir(dir);

    EXPECT_EQ(r.exitcode(), 0) << r.out << r.err;
    ASSERT_NE(json.find("\"ok\": true"), std::string::npos) << json;
    for (const char* p :
         {"DIRECT", "SOCAT", "SOCAT-nodelay", "VELKORAN", "VELKORAN-nagle", "MINLOOP"}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(field(json, p, "images_checked"), 4);
        EXPECT_EQ(field(json, p, "pixels_wrong"), 0);
        EXPECT_EQ(field(json, p, "x_errors"), 0);
        EXPECT_EQ(field(json, p, "failures"), 0);
    }
    // The relay that flips one bit: the comparison must find exactly that one pixel.
    EXPECT_EQ(field(json, "CHECK-corrupt", "pixels_wrong"), 1);
}
