// The form tests' names for the shared view test helpers.
#pragma once

#include <string>
#include <utility>

#include "tests/ui/view_test_support.h"

namespace pellox::formtest {

using test::ChangeRecorder;
using test::CommandRecorder;
using test::DataDir;
using test::FrameHarness;
using test::RecordingSession;

// A contact template with a UIN and a name (the order the form tests write them).
inline ContactInfo Info(std::u16string uin, std::u16string name = {}) {
    return test::Info(std::move(name), std::move(uin));
}

}  // namespace pellox::formtest
