// A random source that breaks, as a failing generator would: whoever draws from it meets an error.
#pragma once

#include <stdexcept>

#include "common/seams.hpp"

namespace testing_support {

class broken_random final : public common::random_source {
 public:
  float uniform() override { throw std::runtime_error("generator zepsuty"); }
};

}  // namespace testing_support
