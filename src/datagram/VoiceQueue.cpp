#include "datagram/VoiceQueue.hpp"

namespace qm {

bool TVoiceQueue::Append(const uint8_t* data, size_t size) {
  LockGuard g(lock_);
  if (queue_.size() >= kMaxQueued) return false;
  Buffer b;
  if (!spare_.empty()) {
    b = std::move(spare_.back());
    spare_.pop_back();
  }
  b.assign(data, data + size);
  queue_.push_back(std::move(b));
  return true;
}

TVoiceQueue::Buffer TVoiceQueue::Acquire() {
  LockGuard g(lock_);
  if (spare_.empty()) return Buffer();
  Buffer b = std::move(spare_.back());
  spare_.pop_back();
  b.clear();
  return b;
}

bool TVoiceQueue::Push(Buffer buffer) {
  LockGuard g(lock_);
  if (queue_.size() >= kMaxQueued) return false;
  queue_.push_back(std::move(buffer));
  return true;
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
