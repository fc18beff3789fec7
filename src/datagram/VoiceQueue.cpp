#include "datagram/VoiceQueue.hpp"

namespace qm {

void TVoiceQueue::Append(const uint8_t* data, size_t size) {
  LockGuard g(lock_);
  Buffer b;
  if (!spare_.empty()) {
    b = std::move(spare_.back());
    spare_.pop_back();
  }
  b.assign(data, data + size);
  queue_.push_back(std::move(b));
}

void TVoiceQueue::TakeAll(std::vector<Buffer>& out) {
  LockGuard g(lock_);
  out.swap(queue_);
}

void TVoiceQueue::Recycle(std::vector<Buffer>& buffers) {
  LockGuard g(lock_);
  for (auto& b : buffers) {
    if (spare_.size() >= kMaxSpare) break;
    spare_.push_back(std::move(b));
  }
  buffers.clear();
}

size_t TVoiceQueue::Count() {
  LockGuard g(lock_);
  return queue_.size();
}

}  // namespace qm
