#include <new>

#include <gtest/gtest.h>

#include "platform/Error.hpp"

namespace qm {
namespace {

// Log lines print this tail; operators and log readers match on the class names.
TEST(Errors, ClassNamesSurviveCatchByBase) {
  EXPECT_EQ(DescribeException(EConnClosedGracefully("Connection Closed Gracefully.")),
            "EConnClosedGracefully: Connection Closed Gracefully.");
  EXPECT_EQ(DescribeException(ESocketError(10054, "Socket Error # 10054")), "ESocketError: Socket Error # 10054");
  EXPECT_STREQ(ExceptionClassName(std::bad_alloc()), "EOutOfMemory");
  EXPECT_STREQ(ExceptionClassName(std::out_of_range("x")), "ERangeError");
}

}  // namespace
}  // namespace qm
