// The engine at its defaults with an open port on the fake platform, whose far end is a scripted
// peer: the common ground of the unit tests that look at the bytes a routine sends.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"

namespace zeltest {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    ASSERT_TRUE(platform.OpenPort(1, &zel::state.link.CommHandle));
  }
  // The commands written since the last call, as texts.
  std::vector<std::string> Writes() { return platform.TakeWrites(); }

  zel::platform::ScriptedPeer peer;
  zel::platform::FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

}  // namespace zeltest
