// The set-up that the selection and submission tests share: a fresh fake framework, an empty
// intake, a captured log, and at the end the check that every fake object was released.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clips/sample_history.h"
#include "encoder/encoder.h"
#include "fake_framework.h"
#include "intake_double.h"
#include "log_capture.h"

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    intakeRecords.clear();
    parameterSets = ParameterSets{};
    baseline_ = fake::LiveObjects();
  }

  void TearDown() override {
    // The chosen transform is never released by the system itself.
    if (encoder.transform != nullptr) encoder.transform->Release();
    if (encoder.eventGenerator != nullptr) encoder.eventGenerator->Release();
    fake::Clear();
    EXPECT_EQ(fake::LiveObjects(), baseline_) << "fake objects left unreleased";
  }

  // A candidate that accepts everything unless the test changes its script.
  fake::Transform* AddEncoder(const std::u16string& name) {
    auto* transform = new fake::Transform;
    fake::AddCandidate(name, transform);
    return transform;
  }

  std::vector<std::string> Log() const { return log_.Messages(); }

  HardwareEncoder encoder;

 private:
  LogCapture log_;
  int baseline_ = 0;
};
