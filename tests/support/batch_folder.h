#pragma once
// The fixture of the tests of whole batch runs: a scratch folder, entered for the test, holding
// an empty img/.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_files.h"

class BatchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory("img"); }
  ScratchFolder folder_{true};
};
