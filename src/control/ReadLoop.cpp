// One pass of a control connection: read one packet, dispatch it by command code, count it, and
// take the close path when told to.
#include <array>
#include <cstring>

#include "control/ControlPackets.hpp"
#include "control/Notices.hpp"
#include "log/Log.hpp"
#include "platform/Error.hpp"
#include "server/TQuillmootServer.hpp"

namespace qm {
namespace {

// The packet buffer belongs to the connection's thread. It is cleared every pass so fields past
// the bytes received read as zero, never as a previous packet's.
thread_local std::array<uint8_t, kPacketBufferSize> tPacket;

}  // namespace

void TQuillmootServer::TCPServerExecute(TcpContext& context) {
  TcpConnection& conn = *context.connection;
  // Everything this pass logs, the exception line included, the peer could provoke at packet rate.
  const LogSourceScope logSource(conn.PeerAddress());
  try {
    ClientPtr c = context.Slot<TServerClient>();
    bool close = false;

    if (c) {
      if (c->Leaving())
        close = true;
      else
        c->Flush();
    }

    tPacket.fill(0);
    size_t n = 0;
    try {
      conn.ReadExact(tPacket.data(), 1);
      conn.CheckClosed();
      conn.WaitForInput(1);
    } catch (const std::exception&) {
      close = true;
    }
    if (!conn.IsConnected()) close = true;

    if (!close) {
      n = conn.InputSize();
      // A burst longer than the buffer is cut; the rest is taken and discarded so the next pass
      // starts on fresh bytes.
      const size_t keep = std::min(n, kPacketBufferSize - 1);
      conn.ReadExact(tPacket.data() + 1, keep);
      if (n > keep) {
        std::array<uint8_t, 1024> discard;
        for (size_t left = n - keep; left > 0;) {
          const size_t step = std::min(left, discard.size());
          conn.ReadExact(discard.data(), step);
          left -= step;
        }
      }
      const size_t size = keep + 1;
      const uint8_t* packet = tPacket.data();

      close = true;
      const int16_t command = ParseHeader(packet, size).command;
      if (command == kCmdClientLogin) {
        close = ClientLogin(context, packet, size);
      } else if (c) {
        close = false;
        switch (command) {
          case kCmdClientSetup:
            close = ClientSetup(packet, size, c);
            break;
          case kCmdClientChangeRoom:
            ClientChangeRoom(packet, size, c);
            break;
          case kCmdClientLeave:
            close = ClientLeave(c);
            break;
          case kCmdPlayerStatsReq:
            PlayerStatsReq(packet, size, c);
            break;
          case kCmdServerStatsReq:
            ServerStatsReq(packet, size, c);
            break;
          case kCmdAdminLogin:
            AdminLogin(packet, size, c);
            break;
          case kCmdAdminCreateRoom:
            AdminCreateRoom(packet, size, c);
            break;
          case kCmdAdminDeleteRoom:
            AdminDeleteRoom(packet, size, c);
            break;
          case kCmdAdminKickPlayer:
            AdminKickPlayer(packet, size, c);
            break;
          case kCmdAdminChangeServerPassword:
            AdminChangeServerPassword(packet, size, c);
            break;
          case kCmdAdminSaveAsDefaultChannels:
            AdminSaveAsDefaultChannels(packet, size, c);
            break;
          case kCmdAdminChangeAdminPassword:
            AdminChangeAdminPassword(packet, size, c);
            break;
          default:
            break;  // unknown commands are ignored, the connection stays
        }
      }
    }

    const auto bytes = static_cast<uint32_t>(n + 1);
    Add(TcpPacketsReceived, 1);
    Add(TcpBytesReceived, bytes);
    if (c && !c->Leaving()) {
      c->TcpPacketsReceived.fetch_add(1, std::memory_order_relaxed);
      c->TcpBytesReceived.fetch_add(bytes, std::memory_order_relaxed);
      c->TouchActivity();
      c->Flush();
    }

    // A connection closed during the pass (its peer fell behind its output bound, or a write
    // failed) takes the close path now, or the client would stay listed with no thread left to
    // remove it.
    if (!close && c && !conn.IsConnected()) close = true;

    if (close) {
      LogEvent("TCP/IP", "Disconnected", 0, c.get());
      if (c) {
        clientList->RemoveClient(c, PlayerLeftNotice(*c, kLeftReasonLeft));
        WriteLog("Distroying client " + c->ClientName() + "[" + std::to_string(ToWireId(c->PlayerId())) + "]",
                 kLogProgress);
        c->Destroy();
      }
      // What is still queued for it (its leave or kick notice) goes out first, bounded by the
      // send time-out; only this connection's thread waits for that.
      conn.Close();
    }
  } catch (const std::exception& e) {
    WriteLog(std::string("in: TCPServerExecute excption ") + DescribeException(e), kLogException);
  }
}

}  // namespace qm
