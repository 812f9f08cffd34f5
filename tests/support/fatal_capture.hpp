// Runs code that must stop the run and returns what it reported on stderr.
#pragma once

#include "prg_lib.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zt {

// Fails the test unless `action` throws Fatal with status 3; returns what
// the program's stderr would show: what was written there, then the report.
template <class Action> std::string fatal_report(Action action) {
    testing::internal::CaptureStderr();
    bool stopped = false;
    std::string report;
    try {
        action();
    } catch (const Fatal& f) {
        stopped = true;
        EXPECT_EQ(f.status, 3);
        report = f.what();
    }
    const std::string err = testing::internal::GetCapturedStderr() + report;
    EXPECT_TRUE(stopped) << "no fatal error; stderr: " << err;
    return err;
}

// What a run stopped by `action` wrote on both streams.
struct FatalOutput {
    std::string out;
    std::string err;
};

// Fails the test unless `action` throws Fatal with status 3; keeps stdout too.
template <class Action> FatalOutput fatal_output(Action action) {
    testing::internal::CaptureStdout();
    FatalOutput result;
    try {
        result.err = fatal_report(action);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    result.out = testing::internal::GetCapturedStdout();
    return result;
}

} // namespace zt
