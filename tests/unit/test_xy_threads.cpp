// Work shared among threads gives what one thread gives: the statistics
// gathered in pieces and joined in order, the pieces that fail, the thread
// count a job starts from.
#include "detector_writers.hpp"
#include "records.hpp"
#include "test_support.hpp"
#include "xy_decoder.hpp"
#include "xy_lib.hpp"
#include "xy_threads.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

// A raw sum (partial frame counts, some pixels without any) or a corrected
// image of random values, small or beyond the fast ranges.
IMG random_image(std::mt19937& rng, bool corrected, int32_t spread) {
    const int32_t nx = 1 + static_cast<int32_t>(rng() % 97), ny = 1 + static_cast<int32_t>(rng() % 131);
    std::uniform_int_distribution<int32_t> value(-spread, spread);
    std::vector<int32_t> v(static_cast<size_t>(nx) * ny);
    std::vector<uint16_t> frame(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = value(rng);
        frame[i] = static_cast<uint16_t>(rng() % 9 == 0 ? rng() % 5 : 4);
    }
    IMG img = zt::image_of(nx, ny, v, frame);
    img.frames = 4;
    img.corrected = corrected ? 1 : 0;
    return img;
}

TEST(InfoPieces, JoinedInOrderTheyGiveTheStatisticsOfOnePass) {
    std::mt19937 rng(2031);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t spread = trial % 3 == 0 ? 2000000000 : trial % 3 == 1 ? 5000 : 1 << 23;
        IMG img = random_image(rng, trial % 2 == 0, spread);
        xy_info(img, INFO_ALL);
        const std::string whole = zt::info_line(img);
        // Cut points at random, on both sides of the 4096-pixel blocks.
        std::vector<int64_t> cuts = {0, img.size};
        for (int k = 0; k < 3; ++k)
            cuts.push_back(static_cast<int64_t>(rng() % (img.size + 1)));
        std::sort(cuts.begin(), cuts.end());
        XyInfoAccumulator joined(img);
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
            XyInfoAccumulator piece(img, cuts[k]);
            piece.add(cuts[k], cuts[k + 1] - cuts[k]);
            joined.append(piece);
        }
        img.mean = img.sigma = 0;
        img.min = img.max = img.used = img.nonzero = 0;
        joined.finish(img);
        ASSERT_EQ(zt::info_line(img), whole) << "trial " << trial;
    }
}

TEST(InfoPieces, APieceOutOfOrderFallsBackOnAFullPass) {
    std::mt19937 rng(7);
    IMG img = random_image(rng, true, 300);
    xy_info(img, INFO_ALL);
    const std::string whole = zt::info_line(img);
    img.mean = img.sigma = 0;
    XyInfoAccumulator joined(img);
    XyInfoAccumulator late(img, 1); // leaves pixel 0 out: not the piece that follows
    late.add(1, img.size - 1);
    joined.append(late);
    EXPECT_FALSE(joined.finish_from_sums(img));
    joined.finish(img);
    EXPECT_EQ(zt::info_line(img), whole);
}

TEST(ThreadPieces, EveryPieceRunsOnceAndTheLowestFailureIsNamed) {
    for (int32_t threads : {1, 2, 3, 8})
        for (int64_t pieces : {0, 1, 2, 7, 64}) {
            std::vector<int> runs(static_cast<size_t>(pieces));
            EXPECT_EQ(xy_run_pieces(threads, pieces, [&](int64_t p) { ++runs[static_cast<size_t>(p)]; }), -1);
            EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), pieces);
            std::vector<int> ranged(static_cast<size_t>(pieces));
            EXPECT_EQ(xy_run_ranges(threads, pieces, [&](int64_t p) { ++ranged[static_cast<size_t>(p)]; }),
                      -1);
            EXPECT_EQ(std::count(ranged.begin(), ranged.end(), 1), pieces);
            if (pieces < 7) continue;
            // Pieces 3 and 5 fail: 3 is named, whichever thread met it first.
            const int64_t failed = xy_run_pieces(threads, pieces, [](int64_t p) {
                if (p == 3 || p == 5) throw std::runtime_error("piece");
            });
            EXPECT_EQ(failed, 3) << threads << " threads";
        }
}

TEST(ThreadPieces, RangesAreConsecutiveRunsOneAThread) {
    const int64_t pieces = 10;
    std::vector<int32_t> owner(pieces);
    xy_run_ranges(3, pieces, [&](int64_t p) { owner[static_cast<size_t>(p)] = xy_thread_index(); });
    EXPECT_TRUE(std::is_sorted(owner.begin(), owner.end()));
    EXPECT_EQ(owner.front(), 0);
    EXPECT_EQ(owner.back(), 2);
}

// A frame decoded in bands by readers on several threads is the frame one
// thread decodes; a damaged frame raises the same report either way.
TEST(SharedDecode, BandsOfReadersGiveTheFrameOfOneThread) {
    zt::TempDir dir;
    const std::string name = dir.file("stack.h5");
    zt::H5Dataset d;
    d.dims = {3, 203, 301};
    d.chunk = {1, 203, 301};
    d.filter = zt::H5Filter::BitshuffleLz4;
    d.bitshuffle_block = 2048;
    std::mt19937 rng(7);
    for (uint64_t i = 0; i < 3 * 203 * 301; ++i)
        d.values.push_back(static_cast<double>(rng() % 60000));
    {
        zt::H5File h5(name);
        h5.dataset(d);
    }
    zt::damage_bitshuffle_block(name, 1, 5); // the second frame
    auto decode = [&](int32_t threads, int32_t frame, bool shared) {
        XyReadOptions reading;
        reading.threads = threads;
        std::unique_ptr<HDR> hdr = xy_open(name, "zandor", "", 0, true, reading);
        std::vector<uint16_t> out(203 * 301);
        const XyWindow whole{0, 0, 301, 203};
        try {
            const int32_t rows = shared ? xy_source_decode_shared(*hdr, frame, whole, out.data())
                                        : xy_source_decoder(*hdr, frame, whole, out.data());
            return std::make_pair(rows, out);
        } catch (const Fatal& f) {
            return std::make_pair(-1, std::vector<uint16_t>(f.report.begin(), f.report.end()));
        }
    };
    for (int32_t frame : {1, 2, 3, 4}) {
        const auto one = decode(1, frame, false);
        EXPECT_EQ(one.first, frame == 2 ? -1 : frame == 4 ? 0 : 203) << frame;
        for (int32_t threads : {2, 3})
            EXPECT_EQ(decode(threads, frame, true), one) << frame << " at " << threads << " threads";
    }
}

TEST(ThreadCount, EnvironmentWithinRangeElseTheProcessorsOfTheProcess) {
    const char* saved = std::getenv("ZANDOR_THREADS");
    const std::string keep = saved ? saved : "";
    const int32_t cpus = xy_available_cpus();
    EXPECT_GE(cpus, 1);
    const struct {
        const char* text;
        int32_t expected;
    } cases[] = {{"1", 1},    {"3", 3},     {"1024", 1024}, {"1025", cpus},
                 {"0", cpus}, {"-2", cpus}, {"2x", cpus},   {"", cpus}};
    for (const auto& c : cases) {
        setenv("ZANDOR_THREADS", c.text, 1);
        EXPECT_EQ(xy_default_threads(), c.expected) << "'" << c.text << "'";
    }
    if (saved)
        setenv("ZANDOR_THREADS", keep.c_str(), 1);
    else
        unsetenv("ZANDOR_THREADS");
}

} // namespace
