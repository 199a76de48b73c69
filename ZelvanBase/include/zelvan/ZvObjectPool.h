// A pool of reusable containers (by default vectors of Event2D). Objects come out as shared pointers
// and go back to the pool, emptied but with their capacity kept, when the last pointer is dropped.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "zelvan/Types.h"

namespace zelvan {

template <typename T>
concept PoolableContainer = requires(T t, size_t n) {
    t.reserve(n);
    t.clear();
};

template <PoolableContainer T>
class ZvObjectPool {
public:
    // A pool meant for about `poolSize` objects in use at once, each with room for `reserve`
    // elements. Objects are made when they are first needed, not here: a pool of large vectors costs
    // only the memory of the objects really used.
    ZvObjectPool(size_t poolSize, size_t reserve) : store_(std::make_shared<Store>()) {
        store_->reserve = reserve;
        store_->free.reserve(poolSize);
    }

    ZvObjectPool(const ZvObjectPool&) = delete;
    ZvObjectPool& operator=(const ZvObjectPool&) = delete;

    // Takes an empty object. Never blocks: when every object made so far is in use a new one is made
    // (with the reserve) and joins the pool when it is returned. The object last returned is handed out
    // first. The pointer may outlive the pool; the object is then freed instead of returned.
    std::shared_ptr<T> acquire() {
        std::unique_ptr<T> object;
        {
            std::lock_guard<std::mutex> lock(store_->mutex);
            if (!store_->free.empty()) {
                object = std::move(store_->free.back());
                store_->free.pop_back();
            } else {
                ++store_->created;
            }
        }
        if (!object) object = store_->make();
        std::weak_ptr<Store> home = store_;
        return std::shared_ptr<T>(object.release(), [home](T* returned) { Store::giveBack(home, returned); });
    }

    // Objects waiting in the pool.
    size_t available() const {
        std::lock_guard<std::mutex> lock(store_->mutex);
        return store_->free.size();
    }

    // Objects this pool has made so far (pooled and handed out).
    size_t created() const {
        std::lock_guard<std::mutex> lock(store_->mutex);
        return store_->created;
    }

    size_t reserveSize() const { return store_->reserve; }

private:
    // Shared with the deleters of handed-out objects, which hold it weakly.
    struct Store {
        std::mutex mutex;
        std::vector<std::unique_ptr<T>> free;
        size_t reserve = 0;
        size_t created = 0;

        std::unique_ptr<T> make() const {
            auto object = std::make_unique<T>();
            object->reserve(reserve);
            return object;
        }

        static void giveBack(const std::weak_ptr<Store>& home, T* returned) noexcept {
            std::unique_ptr<T> object(returned);
            std::shared_ptr<Store> store = home.lock();
            if (!store) return;  // the pool is gone: free the object
            object->clear();
            try {
                std::lock_guard<std::mutex> lock(store->mutex);
                store->free.push_back(std::move(object));
            } catch (...) {
                // No room to keep it: the object is freed and the pool makes a new one when needed.
            }
        }
    };

    std::shared_ptr<Store> store_;
};

class ZvObjectPoolFactory {
public:
    // A pool for `poolSize` containers, each reserved for `reserve` elements when it is made (on first
    // use). The default container is a vector of events: createUniqueZvObjectPoolWithArgs(10,
    // 0x300000) gives vectors with room for 3,145,728 events each, ten of them once ten are in use.
    template <PoolableContainer T = std::vector<Event2D>>
    static std::unique_ptr<ZvObjectPool<T>> createUniqueZvObjectPoolWithArgs(size_t poolSize,
                                                                             size_t reserve) {
        return std::make_unique<ZvObjectPool<T>>(poolSize, reserve);
    }
};

}  // namespace zelvan
