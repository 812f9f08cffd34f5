// %R and %T through the binary: every line of the .rad table against sums
// built here pixel by pixel with the arctangent, the group form, the
// settings' corrections and every refusal.
#include "kvf_writer.hpp"
#include "prg_lib.hpp"
#include "rad_table.hpp"
#include "test_support.hpp"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using zt::contains_line;

namespace {

constexpr int32_t kSize = 40;

int32_t pattern(int32_t x, int32_t y) {
    return 1000 + 50 * ((x * 7 + y * 3) % 11);
}

struct Sums {
    double s = 0, s2 = 0, w = 0;
};

// Ring sums per sector for RADIUS 1 from the direct formulas: distance and
// angle in single precision, ring trunc(r + 0.5), share 1 - f outward or
// 1 + f inward, sector floor((a + 360 - A) n / 360) modulo n.
// `place` gives a pixel's position and weight (default: itself, 1), false for
// a pixel left out.
using Place = std::function<bool(int32_t x, int32_t y, double& px, double& py, double& w)>;
std::vector<std::vector<Sums>> reference_sums(double cx, double cy, int32_t n, float a_sector, int32_t dim,
                                              const Place& place = nullptr) {
    std::vector<std::vector<Sums>> t(n, std::vector<Sums>(dim));
    for (int32_t y = 0; y < kSize; ++y) {
        for (int32_t x = 0; x < kSize; ++x) {
            double px = x, py = y, w = 1;
            if (place && !place(x, y, px, py, w)) continue;
            const float dx = static_cast<float>(px - cx + 0.5), dy = static_cast<float>(py - cy + 0.5);
            const float r = std::sqrt(dx * dx + dy * dy);
            const float a = static_cast<float>(std::atan2(dy, dx) * 180.0 / M_PI);
            const float u = (a + 360.0f - a_sector) * static_cast<float>(n) / 360.0f;
            const int32_t s = ((static_cast<int32_t>(std::floor(u)) % n) + n) % n;
            const int32_t k = static_cast<int32_t>(r + 0.5);
            const float f = r - static_cast<float>(k);
            const double v = pattern(x, y);
            auto add = [&](int32_t ring, float q) {
                if (ring >= dim) return;
                t[s][ring].s += q * v;
                t[s][ring].s2 += q * (v * v);
                t[s][ring].w += q * w;
            };
            if (f > 0) {
                add(k, 1 - f);
                add(k + 1, f);
            } else if (f < 0) {
                add(k, 1 + f);
                add(k - 1, -f);
            } else {
                add(k, 1);
            }
        }
    }
    return t;
}

std::vector<double> column(const Sums& t, double c) {
    const double n = t.w < 0.1 ? 1.0 : t.w;
    const double m = t.s / n;
    const double var = (t.s2 - n * m * m) / (n - c);
    return {m, (var > 0 && n > 2) ? std::sqrt(var / n) : -1.0, t.w};
}

// Every number of every line within the digits printed.
void expect_table(const std::string& text, const std::vector<std::vector<std::vector<double>>>& expected) {
    const auto rows = zt::rad_table(text);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        ASSERT_EQ(rows[k].size(), 1 + 3 * expected[k].size()) << "ring " << k;
        EXPECT_EQ(rows[k][0], static_cast<double>(k));
        for (size_t c = 0; c < expected[k].size(); ++c) {
            EXPECT_NEAR(rows[k][1 + 3 * c], expected[k][c][0], 0.0051)
                << "mean, ring " << k << " column " << c;
            EXPECT_NEAR(rows[k][2 + 3 * c], expected[k][c][1], 0.0051)
                << "error, ring " << k << " column " << c;
            EXPECT_NEAR(rows[k][3 + 3 * c], expected[k][c][2], 0.051)
                << "weight, ring " << k << " column " << c;
        }
    }
}

class Radial : public zt::InTempDir {
  protected:
    void SetUp() override {
        zt::InTempDir::SetUp();
        std::vector<double> v;
        for (int32_t y = 0; y < kSize; ++y)
            for (int32_t x = 0; x < kSize; ++x)
                v.push_back(pattern(x, y));
        zt::write_kvf(file("ring.kvf"), kSize, kSize, 4, false, {v});
    }
    zt::RunResult run(const std::string& settings, const std::vector<std::string>& words) {
        zt::write_file(file("zandor.ini"), settings);
        return zt::run_zandor(dir_->path(), words);
    }
    std::string rad() { return zt::read_file(file("ring.rad")); }
};

// 40 x 40 around the middle: r_max = sqrt(1 + 800) = 28.30, dim 31.
constexpr int32_t kDim = 31;

struct SectorSetup {
    int32_t n;
    float a_sector;
};

class RadialSectors : public Radial, public ::testing::WithParamInterface<SectorSetup> {};

TEST_P(RadialSectors, EveryLineMatchesThePixelSums) {
    const SectorSetup& c = GetParam();
    const zt::RunResult r = run("N_SECTOR = " + std::to_string(c.n) +
                                    "\nA_SECTOR = " + std::to_string(c.a_sector) + "\nOUT = .\n",
                                {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# output radial results in ./ring.rad\n"
                         "# center 0.00 0.00 -> 20.00 20.00, r_max 28.30,  dim 31\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("# 31 * " + std::to_string(c.n) + " data writen in ./ring.rad\n"),
              std::string::npos);
    const auto sums = reference_sums(20, 20, c.n, c.a_sector, kDim);
    std::vector<std::vector<std::vector<double>>> expected(kDim);
    for (int32_t k = 0; k < kDim; ++k)
        for (int32_t s = 0; s < c.n; ++s)
            expected[k].push_back(column(sums[s][k], 0.999999));
    const std::string text = rad();
    EXPECT_EQ(
        text.substr(0, text.find("\n   ") + 1),
        "# ./ring.rad (0-40)/1*(0-40)/1  (ring.kvf)\n# center 0.00 0.00 -> 20.00 20.00, r_max 28.30\n# " +
            std::to_string(c.n) + " sectors with origine at " + prg_format("%.2f", c.a_sector) +
            " deg\n#   r      s/n       e(s/n)   n  ... \n");
    expect_table(text, expected);
}

INSTANTIATE_TEST_SUITE_P(Cli, RadialSectors,
                         ::testing::Values(SectorSetup{1, 0.0f}, SectorSetup{8, 0.0f}, SectorSetup{8, -22.5f},
                                           SectorSetup{4, 270.0f}, SectorSetup{72, 10.0f}));

TEST_F(Radial, GroupsSumTheirSectors) {
    const zt::RunResult r =
        run("N_SECTOR = 8\nA_SECTOR = -22.5\nP_SECTOR = 0+4,2+6,1+3+5+7\nCR = 1\n", {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# 31 * 3 data writen in ring.rad\n"), std::string::npos) << r.out;
    const std::string text = rad();
    EXPECT_NE(
        text.find("# print sectors binned according : '0+4,2+6,1+3+5+7'\r\n"
                  "# 8 used sectors (of 8) are binned in 3 group :  0 ( 0 4)  ,  1 ( 2 6)  ,  2 ( 1 3 5 7) \n"
                  "#   r       s/n       e(s/n)    n  ...\r\n"),
        std::string::npos)
        << text;
    const auto sums = reference_sums(20, 20, 8, -22.5f, kDim);
    const std::vector<std::vector<int>> groups = {{0, 4}, {2, 6}, {1, 3, 5, 7}};
    std::vector<std::vector<std::vector<double>>> expected(kDim);
    for (int32_t k = 0; k < kDim; ++k) {
        for (const auto& g : groups) {
            Sums total;
            for (int s : g) {
                total.s += sums[s][k].s;
                total.s2 += sums[s][k].s2;
                total.w += sums[s][k].w;
            }
            expected[k].push_back(column(total, 0.99999));
        }
    }
    expect_table(text, expected);
    for (const std::string& line : zt::split_lines(text)) {
        if (!line.empty() && line[0] != '#') {
            EXPECT_EQ(line.substr(line.size() - 2), " \r") << line;
        }
    }
}

// Wide rings: every pixel's weight is shared once, never negative, so the
// weights of all rings add up to the pixel count.
TEST_F(Radial, WideRingsShareEachPixelOnce) {
    const zt::RunResult r = run("RADIUS = 2.5\n", {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    double total = 0;
    for (const auto& row : zt::rad_table(rad())) {
        EXPECT_GE(row[3], 0.0) << "ring " << row[0];
        total += row[3];
    }
    EXPECT_NEAR(total, kSize * kSize, 0.05 * 14);
    EXPECT_NE(r.out.find("r_max 28.30,  dim 14\n"), std::string::npos) << r.out;
}

// Positions mirrored (the centre goes with them, to 19, 19) and a weight per
// pixel that counts in n only.
TEST_F(Radial, PositionAndDensityRules) {
    const zt::RunResult r =
        run("N_SECTOR = 4\nRAD_X = \"39-x\"\nRAD_Y = '39-y'\nRAD_DX = 1+(x<20)\nRAD_DY = 0.5\n",
            {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sums =
        reference_sums(19, 19, 4, 0.0f, kDim, [](int32_t x, int32_t y, double& px, double& py, double& w) {
            px = 39 - x;
            py = 39 - y;
            w = (1 + (x < 20)) * 0.5;
            return true;
        });
    std::vector<std::vector<std::vector<double>>> expected(kDim);
    for (int32_t k = 0; k < kDim; ++k)
        for (int32_t s = 0; s < 4; ++s)
            expected[k].push_back(column(sums[s][k], 0.999999));
    expect_table(rad(), expected);
}

// Masked pixels (frame count 0) are left out of every sum.
TEST_F(Radial, MaskedPixelsAreLeftOut) {
    const zt::RunResult r =
        run("N_SECTOR = 4\nR_EXCLUDED = 0 0 39 9\nC_EXCLUDED = 20 20 3\n", {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sums =
        reference_sums(20, 20, 4, 0.0f, kDim, [](int32_t x, int32_t y, double&, double&, double&) {
            return y > 9 && (x - 20) * (x - 20) + (y - 20) * (y - 20) > 9;
        });
    std::vector<std::vector<std::vector<double>>> expected(kDim);
    for (int32_t k = 0; k < kDim; ++k)
        for (int32_t s = 0; s < 4; ++s)
            expected[k].push_back(column(sums[s][k], 0.999999));
    expect_table(rad(), expected);
}

TEST_F(Radial, SettingsAreCorrectedAndKept) {
    for (const char* n : {"0", "100"}) {
        const zt::RunResult r =
            run(std::string("N_SECTOR = ") + n + "\nRADIUS = 0.25\n", {"ring.kvf", "%R", "%R"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("# 1 sectors with origine of first sector starting at 0.00 deg\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("dim 31\n"), std::string::npos) << r.out;
    }
}

TEST_F(Radial, GridOrigConvertsTheCentre) {
    const std::string grid = "GRID_DCOR = 3\nGRID_XCOR = 1.5 1.02 0\nGRID_YCOR = 0 0 1\nORIG = 4 6\n";
    zt::RunResult r = run(grid + "GRID_ORIG = CONVERT\n", {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("using grid corrected center 4.050 6.000 for 4.000 6.000\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("# center 4.00 6.00 -> 4.05 6.00, r_max"), std::string::npos) << r.out;
    r = run("ORIG = 4 6\nGRID_ORIG = CONVERT\n", {"ring.kvf", "%R"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(" warning : GRID_ORIG=CONVERT without a grid model, center 4.000 6.000 kept\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("# center 4.00 6.00 -> 4.00 6.00, r_max"), std::string::npos) << r.out;
}

struct Refusal {
    const char* settings;
    const char* out;  // on standard output ("" : none expected)
    const char* err;  // on standard error ("" : none expected)
    const char* file; // last line written into the .rad file ("" : no file)
};

class RadialRefusal : public Radial, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RadialRefusal, EndsWithStatus3) {
    const Refusal& c = GetParam();
    const zt::RunResult r = run(c.settings, {"ring.kvf", "%R"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (*c.file) {
        const auto lines = zt::split_lines(rad());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().empty() ? lines[lines.size() - 2] : lines.back(), c.file);
    } else {
        EXPECT_FALSE(zt::file_exists(file("ring.rad")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, RadialRefusal,
    ::testing::Values(
        Refusal{"N_SECTOR = 8\nP_SECTOR = 0,0\n", " sector 0 used more than one times!\n", "",
                " sector 0 used more than onc times!"},
        Refusal{"N_SECTOR = 8\nP_SECTOR = 0+8\n", " invalid sector 8 ( >= 8 ), skipped!\n", "",
                " invalid sector 8 ( >= 8 ), skipped!"},
        Refusal{"N_SECTOR = 8\nP_SECTOR = 0+-1\n", " invalid sector list '0+-1' at '-1', skipped!\n", "",
                " invalid sector list '0+-1' at '-1', skipped!"},
        Refusal{"N_SECTOR = 8\nP_SECTOR = 1+x,2\n", " invalid sector list '1+x,2' at 'x,2', skipped!\n", "",
                " invalid sector list '1+x,2' at 'x,2', skipped!"},
        Refusal{"N_SECTOR = 8\nP_SECTOR = 1,\n", " invalid sector list '1,' at '(end)', skipped!\n", "",
                " invalid sector list '1,' at '(end)', skipped!"},
        Refusal{"RADIUS = nan\n", "", " zd_rad error : RADIUS = nan is not a ring width, abort!", ""},
        Refusal{"A_SECTOR = inf\n", "", " zd_rad error : A_SECTOR = inf is not an angle, abort!", ""},
        Refusal{"ORIG = 1e300 5\n", "", "is too far from the image: r_max inf, abort!", ""},
        Refusal{"OUT = no/such/dir\n", "# output radial results in no/such/dir/ring.rad\n",
                "zd_rad error (errno=2) : unable to create the radial file no/such/dir/ring.rad, abort!",
                ""}));

TEST_F(Radial, ImagesThatDifferAfterTheFirstDotWriteTheirOwnFiles) {
    const std::string ring = zt::read_file(file("ring.kvf"));
    zt::write_file(file("scan.v2.kvf"), ring);
    zt::write_file(file("scan.v3.kvf"), ring);
    ASSERT_EQ(run("", {"scan.v2.kvf", "%R"}).status, 0);
    ASSERT_EQ(run("", {"scan.v3.kvf", "%R"}).status, 0);
    EXPECT_EQ(zt::read_file(file("scan.v2.rad")).find("# scan.v2.rad "), 0u);
    EXPECT_EQ(zt::read_file(file("scan.v3.rad")).find("# scan.v3.rad "), 0u);
    EXPECT_FALSE(zt::file_exists(file("scan.rad")));
}

TEST_F(Radial, NoImageNoFile) {
    const zt::RunResult r = run("", {"%R"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(" zd_rad error : no data to write, abort!"), std::string::npos) << r.err;
}

TEST_F(Radial, TransformRuleIsReported) {
    zt::RunResult r = run("", {"ring.kvf", "%T=\"x*2\"", "%T=x-1-1", "%T=(x) ", "%T=x+1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n-------------- name='x*2'\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "name 'x*2' rule 12\n"
                     " warning : rule 'x-1-1' reads as x-(1-1); write (x-1)-1 for x-2\n"
                     "name 'x-1-1' rule 11\n"
                     "syntax error in '(x) ' : unknown primitive  '(x) '\n"
                     "syntax error in '(x) ' : unresolved sentence  '(x) '\n"
                     "name '(x) ' rule 0\n"
                     "name 'x+1' rule 10\n");
    r = run("", {"%T=x"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("../xy32lib/xy_transfo error : no data to process, abort!"), std::string::npos);
}

} // namespace
