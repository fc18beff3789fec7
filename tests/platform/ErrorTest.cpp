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

TEST(Errors, ExceptionLineKeepsThePlaceTextByteForByte) {
  EXPECT_EQ(ExceptionLine("TUDPSender.ProcessUDPList", ETimeout("late")),
            "in: TUDPSender.ProcessUDPList exception ETimeout: late");
  EXPECT_EQ(ExceptionLine("TCPServerExecute", std::out_of_range("x"), "excption"),
            "in: TCPServerExecute excption ERangeError: x");
  EXPECT_EQ(ExceptionLine("TServerClient.StartPing (DoPing)", "ESocketError: Socket Error # 10049"),
            "in: TServerClient.StartPing (DoPing) exception ESocketError: Socket Error # 10049");
}

}  // namespace
}  // namespace qm
