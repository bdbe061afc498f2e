// A session begun on the fake seam for each test, and ended after it.
#pragma once

#include <gtest/gtest.h>

#include "session/session.h"
#include "support/fake_platform.h"

class SessionOnFakes : public ::testing::Test {
 protected:
  void SetUp() override { BeginSession(session); }
  void TearDown() override { EndSession(session); }
  fake::FakePlatform os;
  InstallSession session;
};
