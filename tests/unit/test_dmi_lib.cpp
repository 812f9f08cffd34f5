// IPN-label files: the label's byte order, frame size and sample type, the
// header entries, refusal of labels and files that cannot be read, and the
// dark average of a range of frames.
#include "dmi_lib.hpp"
#include "fatal_capture.hpp"
#include "ipn_writer.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Exactly the label's bytes, so that the sanitizer sees any read past them.
std::vector<unsigned char> label_bytes(const zt::IpnLabel& label) {
    const std::string s = zt::ipn_label(label);
    return std::vector<unsigned char>(s.begin(), s.end());
}

std::unique_ptr<HDR> describe(const zt::IpnLabel& label) {
    const std::vector<unsigned char> bytes = label_bytes(label);
    return dmi_gethdr(bytes.data(), bytes.size(), "t.ipn");
}

std::unique_ptr<HDR> describe_and_fill(const zt::IpnLabel& label) {
    const std::vector<unsigned char> bytes = label_bytes(label);
    auto hdr = dmi_gethdr(bytes.data(), bytes.size(), "t.ipn");
    dmi_hdrfill(bytes.data(), bytes.size(), *hdr, "t.ipn");
    return hdr;
}

std::string entry(const HDR& hdr, const std::string& key) {
    for (const KvfItem& item : hdr.items)
        if (item.key == key) return item.value;
    return "<none>";
}

class DmiTest : public zt::InTempDir {
  protected:
    void SetUp() override { zt::InTempDir::SetUp(); }
    // Writes the file and opens it into a fresh image record.
    IMG open_image(const std::string& name, const std::string& bytes) {
        zt::write_file(file(name), bytes);
        IMG img;
        img.hdr = dmi_open(file(name), "zandor");
        return img;
    }
};

// ---------------------------------------------------------------- the label

TEST_F(DmiTest, SizeTextsAreReadLikeAtoiButInsideTheirFields) {
    struct Case {
        const char* width;
        const char* height;
        uint16_t dim_x, dim_y;
    };
    const Case cases[] = {
        {" 1024", "512", 1024, 512},
        {"\t+7 pixels", "  65535", 7, 65535},
        // A width text of 16 digits stops where the height field begins.
        {"0000000000000004", "3", 4, 3},
    };
    for (const Case& c : cases) {
        zt::IpnLabel label;
        label.width = c.width;
        label.height = c.height;
        auto hdr = describe(label);
        EXPECT_EQ(hdr->dim_x, c.dim_x) << c.width;
        EXPECT_EQ(hdr->dim_y, c.dim_y) << c.height;
        EXPECT_EQ(hdr->offset, 512);
        EXPECT_EQ(hdr->frames, 1);
        EXPECT_EQ(hdr->type, XY_TYPE_UINT16);
    }
}

TEST_F(DmiTest, BadLabelsAreRefusedWithTheirReason) {
    struct Case {
        const char* what;
        zt::IpnLabel label;
        std::string message;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* what, auto edit, std::string message) {
        zt::IpnLabel label;
        edit(label);
        cases.push_back({what, label, std::move(message)});
    };
    add(
        "byte order B", [](zt::IpnLabel& l) { l.byte_order = 'B'; }, "unknown ByteOrder    B, abort!");
    add(
        "byte order NUL", [](zt::IpnLabel& l) { l.byte_order = '\0'; }, "unknown ByteOrder 0x00, abort!");
    add(
        "width beyond 16 bits", [](zt::IpnLabel& l) { l.width = "70000"; },
        "'t.ipn' : the IPN label gives a frame width of 70000, outside 1 to 65535, abort!");
    add(
        "zero height", [](zt::IpnLabel& l) { l.height = "0"; },
        "'t.ipn' : the IPN label gives a frame height of 0, outside 1 to 65535, abort!");
    add(
        "negative width", [](zt::IpnLabel& l) { l.width = "-4"; }, "frame width of -4, outside");
    add(
        "no digits", [](zt::IpnLabel& l) { l.height = "none"; }, "frame height of 0, outside");
    add(
        "sixteen nines", [](zt::IpnLabel& l) { l.width = "9999999999999999"; },
        "frame width of 9999999999999999, outside");
    for (const Case& c : cases) {
        const std::string err = zt::fatal_report([&] { describe(c.label); });
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
    }

    const std::vector<unsigned char> short_label(511, ' ');
    const std::string err =
        zt::fatal_report([&] { dmi_gethdr(short_label.data(), short_label.size(), "s"); });
    EXPECT_NE(err.find("'s' is not an IPN-label file : 511 bytes, less than its 512-byte label"),
              std::string::npos)
        << err;
}

// ---------------------------------------------------------------- header entries

TEST_F(DmiTest, EntriesInTheirOrderWithTextsCutAtTheirFields) {
    zt::IpnLabel label;
    label.run = " CARTE HPC1-SEP RUN7 and more"; // longer than its 20 bytes
    label.map = "ABCD";
    label.date = "07-JUL-2003 12:00:00";
    label.width = "40000";
    label.height = "2";
    label.fill = 'x'; // no NUL anywhere in the label
    auto hdr = describe_and_fill(label);
    std::vector<std::string> got;
    for (const KvfItem& item : hdr->items)
        got.push_back(item.key + "=" + item.value);
    const std::vector<std::string> expected = {
        "HeaderID=EH:000001:000000:000000",
        "ByteOrder=LowByteFirst",
        "Dim_1=40000",
        "Dim_2=2",
        "Image=1",
        "Experiment_date=07-JUL-2003 12:00:00",
        "Ipn_Map=ABCD",
        "Ipn_Run= CARTE HPC1-SEP RUN7",
        "Ipn_File=t.ipn",
    };
    ASSERT_EQ(got.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(got[i], expected[i]);
    EXPECT_EQ(got.back().rfind("Software=../xy32lib/dmi_lib based on IPN LABEL 1988, ", 0), 0u) << got.back();
    EXPECT_EQ(got.back().find('\n'), std::string::npos);

    // A shorter text ends at its first NUL.
    label.fill = '\0';
    label.run = " CARTE HPC1-SEP";
    label.map = "AB";
    EXPECT_EQ(entry(*describe_and_fill(label), "Ipn_Map"), "AB");
}

TEST_F(DmiTest, LabelWithoutSixteenBitSamplesIsListedThenRefused) {
    zt::IpnLabel label;
    label.sample = "BIT*8";
    label.fill = 'y'; // the search for the sample type must stop at the label's end
    const std::string err = zt::fatal_report([&] { describe_and_fill(label); });
    EXPECT_NE(err.find("Ipn_Map"), std::string::npos) << err;
    EXPECT_NE(err.find(" ../xy32lib/dmi_lib error :  not supported data type!, abort!"), std::string::npos)
        << err;

    // "BIT*16" anywhere in the description counts, even after the size texts.
    label.sample = "";
    label.fill = '\0';
    std::vector<unsigned char> bytes = label_bytes(label);
    const std::string late = "12-BIT*16";
    std::copy(late.begin(), late.end(), bytes.begin() + 120);
    for (size_t i = 80; i < 120; ++i)
        if (bytes[i] == '\0') bytes[i] = ' ';
    EXPECT_EQ(dmi_gethdr(bytes.data(), bytes.size(), "t")->type, XY_TYPE_UINT16);
}

// ---------------------------------------------------------------- opening

TEST_F(DmiTest, OpenFillsTheRecordAndRefusesShortFiles) {
    zt::IpnLabel label;
    label.width = "4";
    label.height = "3";
    const std::string one_frame = zt::ipn_file(label, {std::vector<uint16_t>(12, 7)});
    zt::write_file(file("whole.dat"), one_frame);
    auto hdr = dmi_open(file("whole.dat"), "zandor");
    EXPECT_EQ(hdr->file_name, file("whole.dat"));
    EXPECT_EQ(hdr->format, XY_FORMAT_NONE);
    EXPECT_TRUE(hdr->fp);
    EXPECT_EQ(entry(*hdr, "Ipn_File"), file("whole.dat"));

    zt::write_file(file("short.dat"), one_frame.substr(0, one_frame.size() - 1));
    std::string err = zt::fatal_report([&] { dmi_open(file("short.dat"), "zandor"); });
    EXPECT_NE(err.find("is too short for one frame of 4 * 3 pixels at byte 512"), std::string::npos) << err;

    zt::write_file(file("stub.dat"), " CARTE HPC1-SEP");
    err = zt::fatal_report([&] { dmi_open(file("stub.dat"), "zandor"); });
    EXPECT_NE(err.find("is not an IPN-label file : 15 bytes"), std::string::npos) << err;

    err = zt::fatal_report([&] { dmi_open(file("absent.dat"), "zandor"); });
    EXPECT_NE(err.find("dmi_open : unable to open zandor file '" + file("absent.dat") + "'"),
              std::string::npos)
        << err;
}

// ---------------------------------------------------------------- dark average

TEST_F(DmiTest, DarkIsTheRoundedMeanOfTheChosenFrames) {
    // Two pixels over five frames.
    const std::vector<std::vector<uint16_t>> frames = {{100, 0}, {1, 1}, {2, 1}, {2, 2}, {7, 65535}};
    struct Case {
        int32_t first, last;
        int32_t count;
        std::vector<uint16_t> mean;
    };
    const Case cases[] = {
        {2, 4, 3, {2, 1}},      // 1, 2, 2 give (5 + 1) / 3 = 2; 1, 1, 2 give 1
        {2, 0, 4, {3, 16385}},  // to the end of the file, sums beyond 16 bits
        {4, 5, 2, {5, 32769}},  // 4.5 rounds up
        {0, 1, 1, {100, 0}},    // first 0 starts at frame 1
        {3, 99, 3, {4, 21846}}, // a last frame beyond the file stops at its end
    };
    for (const char order : {'M', 'L'}) {
        zt::IpnLabel label;
        label.byte_order = order;
        label.width = "2";
        label.height = "1";
        const std::string bytes = zt::ipn_file(label, frames);
        for (const Case& c : cases) {
            IMG img = open_image("dark.ipn", bytes);
            EXPECT_EQ(dmi_getdark(img, c.first, c.last), c.mean) << order << " " << c.first << ".." << c.last;
            EXPECT_EQ(img.frames, c.count);
        }
        IMG img = open_image("dark.ipn", bytes);
        const std::string err = zt::fatal_report([&] { dmi_getdark(img, 6, 0); });
        EXPECT_NE(err.find("no data found in dark file between image 6 and 0"), std::string::npos) << err;
    }
}

TEST_F(DmiTest, DarkCoversTheImageRegion) {
    zt::IpnLabel label;
    label.width = "3";
    label.height = "2";
    IMG img = open_image("dark.ipn", zt::ipn_file(label, {{1, 2, 3, 4, 5, 6}, {3, 4, 5, 6, 7, 9}}));
    img.x_min = 1; // columns 1 and 2 only
    EXPECT_EQ(dmi_getdark(img, 1, 0), (std::vector<uint16_t>{3, 4, 6, 8}));
    EXPECT_EQ(img.reg_width, 2);
}

} // namespace
