// The bundled example run by `make demo`: every output written, readable by an
// independent reader, and the corrected image close to the generator's model.
#include "kvf_reader.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#ifdef ZANDOR_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

class Demo : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        const std::string examples = std::string(ZANDOR_SOURCE_DIR) + "/examples";
        const std::string copy = "cp " + examples + "/*.kvf " + examples + "/*.sh " + examples + "/*.ini " +
                                 examples + "/run.spec " + examples + "/expected_mean.txt " + dir_->path();
        ASSERT_EQ(std::system(copy.c_str()), 0);
    }
    // Runs the demo script exactly as `make demo` does, in the copied folder.
    zt::RunResult run_demo() {
        const std::string cmd =
            "cd " + dir_->path() + " && ./run_demo.sh " + ZANDOR_BIN + " > demo.out 2> demo.err";
        zt::RunResult r;
        r.status = std::system(cmd.c_str());
        r.out = zt::read_file(file("demo.out"));
        r.err = zt::read_file(file("demo.err"));
        return r;
    }
};

TEST_F(Demo, WritesEveryOutputWithTheExpectedStatistics) {
    const zt::RunResult r = run_demo();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# running(*) 'sh monitor.sh img_0004 run.spec >zandor.SPEC'"), std::string::npos);
    EXPECT_NE(r.out.find("# using 1e+05/2e+05=0.5 as coefficient"), std::string::npos);
    EXPECT_NE(r.out.find("corrected (dark=dark_0001.kvf,flat=flat.kvf,grid=auto)"), std::string::npos);

    // Cosmic-ray spikes of the image series (the last report) were found and removed.
    const size_t at = r.out.rfind(" cosmic(s) found using time series");
    ASSERT_NE(at, std::string::npos);
    const size_t line_start = r.out.rfind("\n# ", at) + 3;
    EXPECT_GT(std::atoi(r.out.c_str() + line_start), 0);

    const zt::KvfImage img = zt::read_kvf32(file("output/demo.kvf"));
    ASSERT_EQ(img.width, 100);
    ASSERT_EQ(img.height, 80);
    double sum = 0;
    for (int32_t v : img.values)
        sum += v;
    const double mean = sum / static_cast<double>(img.values.size());
    const double expected = std::atof(zt::read_file(file("expected_mean.txt")).c_str());
    // The grid correction moves some counts off the borders; the rest is noise.
    EXPECT_NEAR(mean, expected, 0.03 * expected);

    const std::vector<std::string> text = zt::split_lines(zt::read_file(file("output/demo.txt")));
    EXPECT_EQ(text.size(), 100u) << "a wide image is written column by column";

    // The radial profile: 67 rings around the middle, the strongest ring of the data at 23.
    std::vector<double> means;
    for (const std::string& line : zt::split_lines(zt::read_file(file("output/img_0004dfg.rad"))))
        if (!line.empty() && line[0] != '#') means.push_back(std::atof(line.c_str() + 5));
    ASSERT_EQ(means.size(), 67u);
    EXPECT_EQ(std::max_element(means.begin(), means.end()) - means.begin(), 23);
    EXPECT_GT(means[15], 2 * means[8]);

#ifdef ZANDOR_HAVE_LIBTIFF
    TIFF* tif = TIFFOpen(file("output/demo.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint32_t w = 0, h = 0;
    uint16_t bits = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    EXPECT_EQ(w, 100u);
    EXPECT_EQ(h, 80u);
    EXPECT_EQ(bits, 16);
    TIFFClose(tif);
#endif
}

} // namespace
