// What both sides' sockets share: name resolution through getaddrinfo.
#include "platform/Socket.hpp"

namespace qm::platform {

int ResolveIPv4(const std::string& host, uint32_t& ip) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (r != 0 || result == nullptr) return r != 0 ? TranslateResolverError(r) : kErrHostNotFound;
  ip = IpOf(*reinterpret_cast<const sockaddr_in*>(result->ai_addr));
  ::freeaddrinfo(result);
  return 0;
}

}  // namespace qm::platform
