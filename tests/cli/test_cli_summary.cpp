// The SUMMARY file of a run, read back and checked against the lines the same
// run printed.
#include "kvf_writer.hpp"
#include "prg_lib.hpp"
#include "test_support.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

using nlohmann::json;

struct InfoLine {
    int frames = 0, min_x = 0, min_y = 0, max_x = 0, max_y = 0, nonzero = 0, used = 0;
    long min = 0, max = 0;
    std::string mean, sigma;
};

// The last statistics line printed for `name`.
InfoLine last_info_line(const std::string& out, const std::string& name) {
    InfoLine info;
    const std::string head = "# " + name + " : ";
    for (const std::string& line : zt::split_lines(out)) {
        if (line.compare(0, head.size(), head) != 0 || line.find(" frame(s), mean ") == std::string::npos)
            continue;
        char mean[32], sigma[32];
        if (std::sscanf(line.c_str() + head.size(),
                        "%d frame(s), mean %31s sigma %31s [%ld@%d*%d - %ld@%d*%d] %d!=0, %d", &info.frames,
                        mean, sigma, &info.min, &info.min_x, &info.min_y, &info.max, &info.max_x, &info.max_y,
                        &info.nonzero, &info.used) == 11) {
            info.mean = mean;
            info.sigma = sigma;
        }
    }
    return info;
}

class Summary : public zt::InTempDir {
  protected:
    zt::RunResult run(const std::vector<std::string>& words) { return zt::run_zandor(dir_->path(), words); }
    json summary() { return json::parse(zt::read_file(file("run.json"))); }
};

TEST_F(Summary, RecordsWordsFilesCorrectionsOutputsAndFinalStatistics) {
    zt::write_file(file("zandor.ini"), "SUMMARY = run.json\nFILE = more.ini\n");
    zt::write_file(file("more.ini"), "SET_LIMIT = 1\nLOW_LIMIT = 1\n");
    // Two files of 3 frames; pixel 1 saturated in one frame, pixel 5 low.
    const std::vector<double> a = {10, 20, 30, 40, 50, 0, 70, 80};
    std::vector<double> saturated = a;
    saturated[1] = 65535;
    zt::write_kvf(file("img_0001.kvf"), 4, 2, 3, false, {a, saturated, a});
    zt::write_kvf(file("img_0002.kvf"), 4, 2, 3, false, {a, a, a});
    zt::write_kvf(file("dark_0001.kvf"), 4, 2, 3, false,
                  {{1, 1, 1, 1, 1, 0, 1, 1}, {1, 1, 1, 1, 1, 0, 1, 1}});
    // %M=1 prints the statistics line of the final working image.
    const zt::RunResult r = run({"D=dark_0001.kvf", "img_0001.kvf,A2", "%Xsum.kvf", "%Ysum16.tif", "%M=1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json s = summary();

    EXPECT_EQ(s["program"], "zandor");
    EXPECT_NE(r.out.find("## " + s["version"].get<std::string>() + "\n"), std::string::npos);
    EXPECT_EQ(s["settings_files"], json::array({"zandor.ini", "more.ini"}));

    ASSERT_EQ(s["images"].size(), 2u);
    const json& dark_word = s["images"][0];
    EXPECT_EQ(dark_word["word"], "dark_0001.kvf");
    EXPECT_EQ(dark_word["files"], json::array({"dark_0001.kvf"}));
    const json& word = s["images"][1];
    EXPECT_EQ(word["word"], "img_0001.kvf,A2");
    EXPECT_EQ(word["files"], json::array({"img_0001.kvf", "img_0002.kvf"}));
    EXPECT_EQ(word["frames"], 6);
    // "... corrections (s=%d,t=%d,s=%d,l=%d)" and "# %d pixel(s) corrected" of the same image.
    const std::string corrections =
        prg_format("(s=%d,t=%d,s=%d,l=%d)", word["saturated"].get<int>(), word["cosmic_time"].get<int>(),
                   word["cosmic_space"].get<int>(), 0);
    EXPECT_NE(r.out.find(corrections), std::string::npos) << corrections << "\n" << r.out;
    EXPECT_EQ(word["saturated"], 1);
    EXPECT_TRUE(zt::contains_line(r.out, prg_format("# %d pixel(s) corrected", word["rescaled"].get<int>())));
    EXPECT_EQ(word["rescaled"], 1);
    EXPECT_EQ(word["repaired"], 1); // pixel 5 is 0 after the dark: at the low limit

    EXPECT_EQ(s["dark"]["name"], "dark_0001.kvf");
    EXPECT_EQ(s["dark"]["frames"], 2);
    EXPECT_TRUE(s["flat"].is_null());
    EXPECT_EQ(s["grid"], false);

    ASSERT_EQ(s["outputs"].size(), 2u);
    EXPECT_EQ(s["outputs"][0]["path"], "sum.kvf");
    EXPECT_EQ(s["outputs"][0]["writer"], "kvf");
    EXPECT_EQ(s["outputs"][0]["depth"], 32);
    const json& tif = s["outputs"][1];
    EXPECT_EQ(tif["path"], "sum16.tif");
    EXPECT_EQ(tif["writer"], "tif");
    EXPECT_TRUE(zt::contains_line(
        r.out, prg_format(" writing sum16.tif grayscale with %d bits", tif["depth"].get<int>())));
    EXPECT_EQ(tif["depth"], 16);
    EXPECT_EQ(tif["offset"], 0);
    EXPECT_EQ(tif["scale"], 1.0); // the values fit: no rescaling printed
    EXPECT_EQ(r.out.find("multiplied by"), std::string::npos);

    const json& f = s["final_image"];
    const InfoLine printed = last_info_line(r.out, f["name"].get<std::string>());
    EXPECT_EQ(f["frames"], printed.frames);
    EXPECT_EQ(prg_format("%.1f", f["mean"].get<double>()), printed.mean);
    EXPECT_EQ(prg_format("%.1f", f["sigma"].get<double>()), printed.sigma);
    EXPECT_EQ(f["min"], printed.min);
    EXPECT_EQ(f["min_x"], printed.min_x);
    EXPECT_EQ(f["min_y"], printed.min_y);
    EXPECT_EQ(f["max"], printed.max);
    EXPECT_EQ(f["max_x"], printed.max_x);
    EXPECT_EQ(f["max_y"], printed.max_y);
    EXPECT_EQ(f["nonzero"], printed.nonzero);
    EXPECT_EQ(f["used"], printed.used);
    EXPECT_EQ(printed.frames, 6);
}

TEST_F(Summary, RescaledTiffRecordsOffsetAndScaleAsPrinted) {
    zt::write_file(file("zandor.ini"), "SUMMARY = run.json\n");
    zt::write_kvf(file("wide.kvf"), 3, 1, 4, false, {{-1000, 0, 200000}});
    const zt::RunResult r = run({"wide.kvf", "%Zwide8.tif", "%Ywide16.gel"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json s = summary();
    ASSERT_EQ(s["outputs"].size(), 2u);
    for (const json& o : s["outputs"]) {
        const std::string path = o["path"];
        EXPECT_TRUE(zt::contains_line(
            r.out, prg_format(" writing %s grayscale with %d bits", path.c_str(), o["depth"].get<int>())))
            << path;
        EXPECT_TRUE(
            zt::contains_line(r.out, prg_format(" offset of %d has been used", o["offset"].get<int>())));
        EXPECT_TRUE(zt::contains_line(
            r.out, prg_format(" pixel intensities are multiplied by %lf", o["scale"].get<double>())));
    }
    EXPECT_EQ(s["outputs"][0]["writer"], "tif");
    EXPECT_EQ(s["outputs"][0]["depth"], 8);
    EXPECT_EQ(s["outputs"][1]["writer"], "gel");
    EXPECT_EQ(s["outputs"][1]["offset"], -1000);
}

TEST_F(Summary, NoKeyNoFileAndAFailedRunLeavesNone) {
    zt::write_kvf(file("a.kvf"), 2, 1, 4, false, {{1, 2}});
    zt::RunResult r = run({"a.kvf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(zt::file_exists(file("run.json")));

    zt::write_file(file("zandor.ini"), "SUMMARY = run.json\n");
    r = run({"a.kvf", "missing.kvf"});
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(zt::file_exists(file("run.json")));
    r = run({});
    ASSERT_EQ(r.status, 0) << r.err;
    const json s = summary();
    EXPECT_TRUE(s["images"].empty());
    EXPECT_TRUE(s["final_image"].is_null());
}

} // namespace
