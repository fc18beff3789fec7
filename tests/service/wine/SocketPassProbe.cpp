// Whether sockets pass from one Windows process to another and keep working: what a service that
// keeps its clients across an upgrade would need (the old worker hands its sockets to the new one).
// A Windows program on its own (scripts/wine-test.sh cross-builds it beside the test); the native
// peer is WineService.SocketsPassToAnotherProcess.
//   socketpassprobe PORT [-end]                the first process: listens on PORT (TCP) and PORT+1 (UDP)
//   socketpassprobe -take FILE EVENTS FIRSTPID  the second, started by the first
// The first accepts one connection, answers "A" on it and "a" on UDP with "first:PID", then on
// "H" starts the second (suspended, to learn its process ID), duplicates the connection, the UDP
// socket and the listener into it with WSADuplicateSocketW and writes the three protocol records
// to FILE. The second makes its sockets from them (WSASocketW, FROM_PROTOCOL_INFO) and says so;
// the first closes its copies and says so (with -end: ends its process without closing them, as a
// worker that is done would); only then the second reads what the peer sent meanwhile ("B", "b"),
// answers "second:PID" on each, accepts a new connection and answers on it, and ends when the peer
// closes both connections. Without -end the first ends with the second's exit status; each failing
// step has a status of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2 before windows.h
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kWaitMs = 30000;
// How long the second waits to see the peer close (it may not, see the test).
constexpr int kCloseWaitMs = 5000;
constexpr int kSockets = 3;  // the connection, the UDP socket, the listener

int Fail(int status, const char* what) {
  std::fprintf(stderr, "socketpassprobe %lu: %s failed (error %d)\n", GetCurrentProcessId(), what, WSAGetLastError());
  return status;
}

bool Readable(SOCKET s, int timeoutMs) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = POLLRDNORM;
  return WSAPoll(&p, 1, timeoutMs) == 1;
}

constexpr int kTimedOut = -1, kClosed = -2, kReset = -3;

// One byte from the connection, or kTimedOut, kClosed (orderly) or kReset.
int ReadByte(SOCKET s, int timeoutMs = kWaitMs) {
  if (!Readable(s, timeoutMs)) return kTimedOut;
  char c = 0;
  const int n = recv(s, &c, 1, 0);
  return n == 1 ? c : n == 0 ? kClosed : kReset;
}

const char* Ending(int read) {
  return read == kTimedOut ? "not seen" : read == kClosed ? "orderly" : read == kReset ? "reset" : "data instead";
}

std::string Who(const char* role) { return std::string(role) + ":" + std::to_string(GetCurrentProcessId()); }

bool SendLine(SOCKET s, const std::string& line) {
  const std::string text = line + "\n";
  return send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
}

// Answers one datagram with who; false on time-out or when it is not the one expected.
bool AnswerDatagram(SOCKET udp, char expected, const std::string& who) {
  char buf[64];
  sockaddr_in from{};
  int fromLength = sizeof from;
  if (!Readable(udp, kWaitMs)) return false;
  const int n = recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n != 1 || buf[0] != expected) return false;
  return sendto(udp, who.data(), static_cast<int>(who.size()), 0, reinterpret_cast<sockaddr*>(&from), fromLength) ==
         static_cast<int>(who.size());
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

int Second(const std::string& file, const std::string& events, DWORD firstPid) {
  WSAPROTOCOL_INFOW info[kSockets];
  FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return Fail(20, "opening the protocol records");
  const size_t read = std::fread(info, sizeof info[0], kSockets, f);
  std::fclose(f);
  DeleteFileA(file.c_str());
  if (read != kSockets) return Fail(21, "reading the protocol records");
  SOCKET s[kSockets];
  for (int i = 0; i < kSockets; ++i) {
    s[i] = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info[i], 0, WSA_FLAG_OVERLAPPED);
    if (s[i] == INVALID_SOCKET) return Fail(22, "WSASocketW from the protocol record");
  }
  HANDLE taken = OpenEventW(EVENT_MODIFY_STATE, FALSE, Widen(events + "-taken").c_str());
  HANDLE closed = OpenEventW(SYNCHRONIZE, FALSE, Widen(events + "-closed").c_str());
  HANDLE first = OpenProcess(SYNCHRONIZE, FALSE, firstPid);
  if (!taken || !closed || !first) return Fail(23, "opening the events and the first process");
  SetEvent(taken);
  // The first closes its copies, or ends without closing them.
  const HANDLE waits[2] = {closed, first};
  if (WaitForMultipleObjects(2, waits, FALSE, kWaitMs) == WAIT_TIMEOUT) return Fail(24, "waiting for the first");

  const SOCKET conn = s[0], udp = s[1], listener = s[2];
  const std::string who = Who("second");
  if (ReadByte(conn) != 'B') return Fail(25, "reading the byte queued before the handover");
  if (!SendLine(conn, who)) return Fail(26, "answering on the passed connection");
  if (!AnswerDatagram(udp, 'b', who)) return Fail(27, "answering the datagram queued before the handover");
  if (!Readable(listener, kWaitMs)) return Fail(28, "waiting for a new connection");
  const SOCKET fresh = accept(listener, nullptr, nullptr);
  if (fresh == INVALID_SOCKET) return Fail(29, "accepting on the passed listener");
  if (!SendLine(fresh, who)) return Fail(30, "answering on the new connection");
  // The peer closes the new connection, then the passed one: is each close seen?
  const int freshEnd = ReadByte(fresh, kCloseWaitMs);
  const int end = ReadByte(conn, kCloseWaitMs);
  std::printf("second %lu: the peer's close seen by WSAPoll: new connection %s, passed connection %s\n",
              GetCurrentProcessId(), Ending(freshEnd), Ending(end));
  if (end == kTimedOut) {
    u_long nonBlocking = 1;
    ioctlsocket(conn, FIONBIO, &nonBlocking);
    char c;
    const int n = recv(conn, &c, 1, 0);
    std::printf("second %lu: recv on the passed connection after that: %d (error %d)\n", GetCurrentProcessId(), n,
                n < 0 ? WSAGetLastError() : 0);
  }
  std::fflush(stdout);
  closesocket(fresh);
  if (freshEnd != kClosed) return Fail(31, "seeing the close of the new connection");
  if (end != kClosed) return Fail(32, "seeing the close of the passed connection");
  for (SOCKET each : s) closesocket(each);
  return 0;
}

int First(int port, bool endWithoutClosing) {
  const SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  const SOCKET udp = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (listener == INVALID_SOCKET || udp == INVALID_SOCKET) return Fail(2, "socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4) != 0)
    return Fail(3, "listening");
  a.sin_port = htons(static_cast<u_short>(port + 1));
  if (bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail(4, "binding the UDP socket");
  if (!Readable(listener, kWaitMs)) return Fail(5, "waiting for the peer");
  const SOCKET conn = accept(listener, nullptr, nullptr);
  if (conn == INVALID_SOCKET) return Fail(6, "accept");
  const std::string who = Who("first");
  if (ReadByte(conn) != 'A' || !SendLine(conn, who)) return Fail(7, "the first exchange");
  if (!AnswerDatagram(udp, 'a', who)) return Fail(8, "the first datagram");
  if (ReadByte(conn) != 'H') return Fail(9, "waiting for the handover");

  const std::string events = "qm-socketpass-" + std::to_string(GetCurrentProcessId());
  HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, Widen(events + "-taken").c_str());
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, Widen(events + "-closed").c_str());
  wchar_t temp[MAX_PATH];
  if (!taken || !closed || !GetTempPathW(MAX_PATH, temp)) return Fail(10, "the events");
  std::string file;
  for (const wchar_t* c = temp; *c; ++c) file += static_cast<char>(*c);
  file += events + ".bin";
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" -take \"" + Widen(file) + L"\" " + Widen(events) + L" " +
                         std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // No handle is inherited: the second gets the sockets only through the duplicates.
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi))
    return Fail(11, "starting the second process");
  WSAPROTOCOL_INFOW info[kSockets];
  const SOCKET mine[kSockets] = {conn, udp, listener};
  for (int i = 0; i < kSockets; ++i)
    if (WSADuplicateSocketW(mine[i], pi.dwProcessId, &info[i]) != 0) return Fail(12, "WSADuplicateSocketW");
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f || std::fwrite(info, sizeof info[0], kSockets, f) != kSockets) return Fail(13, "writing the records");
  std::fclose(f);
  ResumeThread(pi.hThread);
  const HANDLE waits[2] = {taken, pi.hProcess};
  if (WaitForMultipleObjects(2, waits, FALSE, kWaitMs) != WAIT_OBJECT_0) return Fail(14, "waiting for the take-over");
  if (endWithoutClosing) {
    // As a worker that is done: the system closes its handles when the process ends.
    std::printf("first %lu handed its sockets to %lu and ends without closing its copies\n", GetCurrentProcessId(),
                pi.dwProcessId);
    std::fflush(stdout);
    ExitProcess(0);
  }
  for (SOCKET each : mine) closesocket(each);
  SetEvent(closed);
  std::printf("first %lu handed its sockets to %lu and closed its copies\n", GetCurrentProcessId(), pi.dwProcessId);
  std::fflush(stdout);

  if (WaitForSingleObject(pi.hProcess, 2 * kWaitMs) != WAIT_OBJECT_0) return Fail(15, "waiting for the second");
  DWORD status = 1;
  GetExitCodeProcess(pi.hProcess, &status);
  std::printf("second %lu ended with status %lu\n", pi.dwProcessId, status);
  return static_cast<int>(status);
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  if (argc == 5 && std::string(argv[1]) == "-take")
    return Second(argv[2], argv[3], static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)));
  if (argc == 2 || (argc == 3 && std::string(argv[2]) == "-end")) return First(std::atoi(argv[1]), argc == 3);
  std::fprintf(stderr, "usage: socketpassprobe PORT [-end]\n");
  return 1;
}
