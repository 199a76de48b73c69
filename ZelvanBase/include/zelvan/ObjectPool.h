// A pool of reusable byte vectors handed out as shared pointers that return themselves to the pool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace zelvan {

// Holds `count` zero-filled vectors of `size` bytes: made at once (Allocation::Upfront), or one at a
// time when acquire() finds no vector waiting, until `count` have been made (Allocation::OnDemand:
// a pool of large buffers costs only the memory that is really used). acquire() hands out the most
// recently returned vector first. When the pool is empty and its `count` vectors exist, a blocking
// pool waits until a vector comes back and a non-blocking pool hands out a new, empty vector (which
// joins the pool when it is returned). A vector released after the pool is gone is simply freed. The
// pool must outlive threads blocked in acquire().
class ObjectPool {
public:
    using Buffer = std::vector<uint8_t>;
    enum class Allocation : uint8_t { Upfront, OnDemand };

    ObjectPool(size_t count, bool blocking, size_t size, Allocation allocation = Allocation::Upfront)
        : shared_(std::make_shared<Shared>()) {
        if (blocking && count == 0) {
            throw std::invalid_argument(
                "Failed to allocate memory for the bounded object pool: pool's size can not be 0.");
        }
        shared_->blocking = blocking;
        shared_->count = count;
        shared_->size = size;
        shared_->free.reserve(count);
        if (allocation == Allocation::Upfront) {
            for (size_t i = 0; i < count; ++i) shared_->free.push_back(std::make_unique<Buffer>(size, 0));
            shared_->made = count;
        }
    }

    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    std::shared_ptr<Buffer> acquire() {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        std::unique_ptr<Buffer> buffer;
        if (shared_->free.empty() && shared_->made < shared_->count) {
            ++shared_->made;
            lock.unlock();
            try {
                buffer = std::make_unique<Buffer>(shared_->size, 0);
            } catch (...) {
                lock.lock();
                --shared_->made;
                throw;
            }
        } else if (shared_->free.empty()) {
            if (shared_->blocking) {
                shared_->returned.wait(lock, [this] { return !shared_->free.empty(); });
            } else {
                buffer = std::make_unique<Buffer>();
            }
        }
        if (!buffer) {
            buffer = std::move(shared_->free.back());
            shared_->free.pop_back();
        }
        std::weak_ptr<Shared> home = shared_;
        return std::shared_ptr<Buffer>(buffer.release(), [home](Buffer* b) {
            std::unique_ptr<Buffer> owned(b);
            if (auto pool = home.lock()) {
                {
                    std::lock_guard<std::mutex> guard(pool->mutex);
                    pool->free.push_back(std::move(owned));
                }
                if (pool->blocking) pool->returned.notify_all();
            }
        });
    }

    // Number of vectors waiting in the pool.
    size_t available() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->free.size();
    }

    // Number of the pool's `count` vectors made so far (vectors beyond `count` not included).
    size_t made() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->made;
    }

private:
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable returned;
        std::vector<std::unique_ptr<Buffer>> free;
        bool blocking = false;
        size_t count = 0;
        size_t size = 0;
        size_t made = 0;
    };
    std::shared_ptr<Shared> shared_;
};

}  // namespace zelvan
