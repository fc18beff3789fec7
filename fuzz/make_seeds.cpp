// Writes the seed corpora from real packets of the protocol: make_seeds <corpus folder>. The
// seeds are kept in the repository; run this again when a packet layout changes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "control/ControlPackets.hpp"
#include "control/OperatorFrames.hpp"
#include "control/WireFormat.hpp"
#include "datagram/PacketCrc32.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void Write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Write(const fs::path& dir, const std::string& name, const std::string& text) {
  Write(dir, name, Bytes(text.begin(), text.end()));
}

// Control harness input: flags, then length-prefixed packets.
Bytes ControlInput(uint8_t flags, const std::vector<qm::Packet>& packets) {
  Bytes out{flags};
  for (const auto& p : packets) {
    out.push_back(static_cast<uint8_t>(p.size()));
    out.push_back(static_cast<uint8_t>(p.size() >> 8));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A voice datagram: kind, packet id, body; the checksum filled in.
Bytes Voice(uint16_t key, uint8_t kind, uint32_t packetId, const Bytes& body) {
  Bytes d(16);
  qm::StoreU16(d.data(), 0xB0BA);
  qm::StoreU16(d.data() + 2, key);
  qm::StoreU16(d.data() + 4, static_cast<uint16_t>(16 + body.size()));
  d[6] = kind;
  qm::StoreU32(d.data() + 8, packetId);
  d.insert(d.end(), body.begin(), body.end());
  qm::StoreU32(d.data() + 12, qm::PacketCrc32(d.data(), d.size()));
  return d;
}

Bytes Ping(uint16_t key, uint8_t kind, uint8_t echo) {
  Bytes d(12);
  qm::StoreU16(d.data(), 0xAABB);
  qm::StoreU16(d.data() + 2, key);
  qm::StoreU16(d.data() + 4, 12);
  d[6] = kind;
  d[7] = echo;
  qm::StoreU32(d.data() + 8, 0x0000EEFF);
  return d;
}

// UDP harness input: selector, length, datagram; repeated.
Bytes UdpInput(const std::vector<std::pair<uint8_t, Bytes>>& records) {
  Bytes out;
  for (const auto& [selector, d] : records) {
    out.push_back(selector);
    out.push_back(static_cast<uint8_t>(d.size()));
    out.push_back(static_cast<uint8_t>(d.size() >> 8));
    out.insert(out.end(), d.begin(), d.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus folder>\n");
    return 2;
  }
  const fs::path root = argv[1];
  using namespace qm;

  // --- control: every command, logged in or not, new and old clients ---
  const fs::path control = root / "control";
  const Packet login = ComposeLogin({"seed", "", "1.2.2"});
  const Packet admin = ComposeStringCommand(kCmdAdminLogin, "qmadmin");
  Write(control, "login-only", ControlInput(0, {login}));
  Write(control, "login-twice", ControlInput(0, {login, login}));
  Write(control, "setup-before-login", ControlInput(0, {ComposeSetup(0, 0)}));
  Write(control, "setup-refused", ControlInput(1, {ComposeSetup(0, 1)}));
  Write(control, "change-room",
        ControlInput(5, {ComposeByteCommand(kCmdClientChangeRoom, 1), ComposeByteCommand(kCmdClientChangeRoom, 9)}));
  Write(control, "leave", ControlInput(5, {ComposeCommand(kCmdClientLeave)}));
  Write(control, "player-stats",
        ControlInput(13, {ComposeByteCommand(kCmdPlayerStatsReq, 1), ComposeByteCommand(kCmdPlayerStatsReq, 2)}));
  Write(control, "player-stats-old", ControlInput(15, {ComposeByteCommand(kCmdPlayerStatsReq, 1)}));
  Write(control, "server-stats", ControlInput(5, {ComposeCommand(kCmdServerStatsReq)}));
  Write(control, "admin-wrong", ControlInput(5, {ComposeStringCommand(kCmdAdminLogin, "nope")}));
  Write(control, "admin-rooms",
        ControlInput(
            13, {admin, ComposeStringCommand(kCmdAdminCreateRoom, "Seed room"),
                 ComposeStringCommand(kCmdAdminCreateRoom, "Seed room"), ComposeByteCommand(kCmdClientChangeRoom, 2),
                 ComposeByteCommand(kCmdAdminDeleteRoom, 2), ComposeByteCommand(kCmdAdminDeleteRoom, 200)}));
  Write(control, "admin-kick",
        ControlInput(13, {admin, ComposeByteCommand(kCmdAdminKickPlayer, 1), ComposeByteCommand(kCmdAdminKickPlayer, 2),
                          ComposeByteCommand(kCmdAdminKickPlayer, 77)}));
  Write(control, "admin-passwords",
        ControlInput(5, {admin, ComposeStringCommand(kCmdAdminChangeServerPassword, "pw"),
                         ComposeStringCommand(kCmdAdminChangeAdminPassword, "qmadmin"),
                         ComposeCommand(kCmdAdminSaveAsDefaultChannels)}));
  Write(control, "admin-not-admin",
        ControlInput(5, {ComposeCommand(kCmdAdminSaveAsDefaultChannels), ComposeByteCommand(kCmdAdminKickPlayer, 1)}));
  Write(control, "unknown-command", ControlInput(5, {ComposeCommand(999), ComposeCommand(-1)}));
  Packet longName = ComposeLogin({"seed", "", "1.2.2"});
  longName[8] = 0xFF;  // a name length beyond the field
  Write(control, "login-long-name", ControlInput(0, {longName}));
  Write(control, "login-short", ControlInput(0, {Packet(login.begin(), login.begin() + 9)}));
  Packet big(5000, 'A');
  StoreU16(big.data() + 6, kCmdServerStatsReq);
  Write(control, "burst-over-buffer", ControlInput(5, {big}));

  // --- udp: voice, whispers, pings and pongs, known and unknown keys ---
  const fs::path udp = root / "udp";
  const Bytes payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Bytes whisper{2, 2, 3};
  whisper.insert(whisper.end(), payload.begin(), payload.end());
  Write(udp, "voice", UdpInput({{0x0D, Voice(0, 0, 1, payload)}, {0x0D, Voice(0, 0, 2, payload)}}));
  Write(udp, "voice-each-client",
        UdpInput({{0x0D, Voice(0, 0, 1, payload)}, {0x1E, Voice(0, 0, 1, payload)}, {0x1F, Voice(0, 0, 1, payload)}}));
  Write(udp, "voice-bad-crc", UdpInput({{0x05, Voice(0, 0, 1, payload)}}));
  Write(udp, "voice-lost", UdpInput({{0x0D, Voice(0, 0, 5, payload)}, {0x0D, Voice(0, 0, 9, payload)}}));
  Write(udp, "whisper", UdpInput({{0x0D, Voice(0, 1, 1, whisper)}}));
  Write(udp, "whisper-self-and-nobody", UdpInput({{0x0D, Voice(0, 1, 1, Bytes{3, 1, 99, 0, 7, 7})}}));
  Write(udp, "whisper-short", UdpInput({{0x0D, Voice(0, 1, 1, Bytes{200, 2})}}));
  Write(udp, "voice-kind5", UdpInput({{0x0D, Voice(0, 5, 1, payload)}}));
  Write(udp, "ping", UdpInput({{0x05, Ping(0, 1, 3)}}));
  Write(udp, "pong", UdpInput({{0x05, Ping(0, 2, 200)}, {0x05, Ping(0, 1, 200)}}));
  Write(udp, "unknown-key", UdpInput({{0x00, Voice(0x7777, 0, 1, payload)}, {0x00, Ping(0x7777, 1, 1)}}));
  Write(udp, "unknown-magic", UdpInput({{0x05, Bytes{0x34, 0x12, 0, 0, 8, 0, 0, 0}}}));
  Write(udp, "short",
        UdpInput({{0x00, Bytes{}},
                  {0x00, Bytes{0xBA}},
                  {0x01, Bytes{0xBA, 0xB0, 0, 0}},
                  {0x05, Bytes{0xBB, 0xAA, 0, 0, 12, 0, 1}}}));

  // --- ini: the server's own file, and the odd forms the reader accepts ---
  const fs::path ini = root / "ini";
  Write(ini, "server",
        "[Passwords]\r\nServerPassword=\r\nAdminPassword=secret\r\n[Version]\r\nServerVersion=v1.2.2\r\n"
        "[General]\r\nServerName=Quillmoot Server\r\nMaxClients=16\r\n[Networking]\r\nTCPPort=8765\r\nIP=\r\n"
        "[Ping]\r\nMaxPingTries=3\r\nPingWaitTime=15000\r\nIdleTimeBeforePing=5000\r\n"
        "[WebStatus]\r\nActive=0\r\nWebPostURL=http://example.invalid/post.php\r\n"
        "[Channels]\r\nChannel1=Default\r\nChannel2=Lobby\r\n");
  Write(ini, "odd",
        "; comment\n  [ general ]  \nmaxclients = 0x10\nMaxClients=$FF\n[General]\nx=\"quoted\" \n=novalue\nnokey\n[");
  Write(ini, "integers", "[N]\na=-2147483648\nb=2147483648\nc=0xFFFFFFFF\nd=$\ne=+5\nf=1e3\n");

  // --- http: status lines and heads ---
  const fs::path http = root / "http";
  Write(http, "ok",
        std::string("\x03\x01\x05\x40") + "HTTP/1.0 200 OK\r\nServer: seed\r\nContent-Length: 0\r\n\r\nbody");
  Write(http, "continue",
        std::string("\x01\x07") + "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\nX: y\r\n\r\n");
  Write(http, "redirect", std::string(1, '\0') + "HTTP/1.0 301 Moved\nLocation: http://x/\n  folded\n\n");
  Write(http, "bad", std::string("\x02\x02\x09") + "HTTP/x 200\r\nICY 200 OK\r\n\r\n");

  // --- operator: the operator socket's requests, whole, several in a row, cut off ---
  const fs::path op = root / "operator";
  auto frame = [](const std::string& json) {
    const auto n = static_cast<uint32_t>(json.size());
    return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n >> 16 & 0xFF),
                       static_cast<char>(n >> 24)} +
           json;
  };
  Write(op, "who", frame(R"({"command":"who"})"));
  Write(op, "several",
        frame(R"({"command":"stats","player":3})") + frame(R"({"command":"kick","player":300})") +
            frame(R"({"command":"create","name":"Caf\u00e9 \u2603"})"));
  Write(op, "password", frame(R"({"command":"set-server-password","password":"s3cret"})"));
  Write(op, "bad", frame("[1,{\"a\":[null]}]") + frame("not json") + std::string("\xff\xff\x00\x00{", 5));
  return 0;
}
