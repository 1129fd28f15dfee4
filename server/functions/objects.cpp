// Engine objects and the references that name them.
#include "functions/function.hpp"

#include <fl/except.hpp>
#include <qx/block.hpp>

#include <algorithm>
#include <mutex>
#include <random>
#include <unordered_map>
#include <utility>

namespace veldra::engine {

namespace {

using Map = std::map<std::string, Array>;

// One object: its contents and the references to it (arrays in the engine
// plus those that clients hold).  Destroyed when the count drops to zero.
struct Entry {
    Map map;
    std::uint64_t refs = 0;
};

// What the store and its session share; the session reaches it weakly, so
// references that outlive the store find it gone.
struct StoreState {
    mutable std::mutex mutex;
    std::map<std::uint64_t, Entry> objects;
    // Per client (a connection's tag), how many references to each object it
    // was sent and has not yet given back.
    std::map<std::uint64_t, std::unordered_map<std::uint64_t, std::uint64_t>> held;
    std::uint64_t nextId = 1;

    Entry& entry(std::uint64_t id);

    // With mutex held: drops `n` references to `id`; an object left without
    // any moves to `doomed`, to be destroyed once the lock is left.
    void drop(std::uint64_t id, std::uint64_t n, std::vector<Map>& doomed) {
        auto it = objects.find(id);
        if (it == objects.end()) return;  // deleted explicitly meanwhile
        Entry& e = it->second;
        e.refs -= std::min(n, e.refs);
        if (e.refs != 0) return;
        doomed.push_back(std::move(e.map));
        objects.erase(it);
    }
};

// Destroys the maps of objects that went.  Their values may hold the last
// references to further objects; those are destroyed by the outermost call
// on this thread, in a loop, so a long chain of maps cannot exhaust the stack.
thread_local std::vector<Map>* tlsDoomed = nullptr;

void destroy(std::vector<Map>&& maps) noexcept {
    if (maps.empty()) return;
    if (tlsDoomed) {
        for (auto& m : maps) {
            try {
                tlsDoomed->push_back(std::move(m));
            } catch (...) {
                Map gone(std::move(m));  // no memory to defer it: destroyed here
            }
        }
        return;
    }
    std::vector<Map> pending(std::move(maps));
    tlsDoomed = &pending;
    while (!pending.empty()) {
        Map m(std::move(pending.back()));
        pending.pop_back();
    }  // each m goes here, and may add to pending
    tlsDoomed = nullptr;
}

// The session object arrays carry: counts the references that engine
// arrays make to the store's objects.
class StoreSession : public qx::ObjectSession {
public:
    StoreSession(std::weak_ptr<StoreState> state, std::uint64_t key) : state_(std::move(state)), key_(key) {}
    bool alive() const noexcept override { return !state_.expired(); }
    std::uint64_t key() const noexcept override { return key_; }
    void retain(const std::uint64_t* ids, std::size_t n) const noexcept override {
        auto st = state_.lock();
        if (!st) return;
        std::lock_guard<std::mutex> lock(st->mutex);
        for (std::size_t i = 0; i < n; ++i) {
            auto it = st->objects.find(ids[i]);
            if (it != st->objects.end()) ++it->second.refs;
        }
    }
    void release(const std::uint64_t* ids, std::size_t n) const noexcept override {
        auto st = state_.lock();
        if (!st) return;
        std::vector<Map> doomed;
        {
            std::lock_guard<std::mutex> lock(st->mutex);
            for (std::size_t i = 0; i < n; ++i) {
                try {
                    st->drop(ids[i], 1, doomed);
                } catch (...) {
                    // No memory to move the map out: it stays, unreferenced.
                }
            }
        }
        destroy(std::move(doomed));
    }

private:
    std::weak_ptr<StoreState> state_;
    std::uint64_t key_;
};

std::uint64_t randomKey() {
    std::random_device rd;
    std::uint64_t k = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    return k == 0 ? 1 : k;
}

[[noreturn]] void noObject(std::uint64_t id) {
    throw ExecutionFailure("veldra:engine:invalidObject",
                           "The object " + std::to_string(id) + " has been deleted or never existed.");
}

Entry& StoreState::entry(std::uint64_t id) {
    auto it = objects.find(id);
    if (it == objects.end()) noObject(id);
    return it->second;
}

// Calls f(ids, n) for every object array of `session` in `a`, nested ones too.
template <typename F>
void forEachReference(const qxArray* a, const qx::ObjectSession* session, F&& f) {
    if (!a) return;
    const qxClassID cls = qxGetClassID(a);
    if (cls == qxOBJECT_CLASS) {
        if (qx::objectSession(a).get() == session && qx::objectIds(a))
            f(qx::objectIds(a), static_cast<std::size_t>(qxGetNumberOfElements(a)));
    } else if (cls == qxCELL_CLASS) {
        const qxSize n = qxGetNumberOfElements(a);
        for (qxSize i = 0; i < n; ++i) forEachReference(qxGetCell(a, i), session, f);
    } else if (cls == qxSTRUCT_CLASS) {
        const qxSize n = qxGetNumberOfElements(a);
        const int nf = qxGetNumberOfFields(a);
        for (qxSize i = 0; i < n; ++i)
            for (int k = 0; k < nf; ++k) forEachReference(qxGetFieldByNumber(a, i, k), session, f);
    }
}

}  // namespace

struct ObjectStore::Impl : StoreState {
    std::shared_ptr<const StoreSession> session;
};

ObjectStore::ObjectStore() : impl_(std::make_shared<Impl>()) {
    impl_->session = std::make_shared<StoreSession>(std::weak_ptr<StoreState>(impl_), randomKey());
}

std::uint64_t ObjectStore::newMap() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::uint64_t id = impl_->nextId++;
    impl_->objects.emplace(id, Entry());
    return id;
}

void ObjectStore::mapSet(std::uint64_t id, const std::string& key, Array value) {
    Array old;  // destroyed outside the lock: it may release objects
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Array& slot = impl_->entry(id).map[key];
    old = std::move(slot);
    slot = std::move(value);
}

Array ObjectStore::mapGet(std::uint64_t id, const std::string& key) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Map& m = impl_->entry(id).map;
    auto it = m.find(key);
    if (it == m.end()) throw ExecutionFailure("veldra:engine:missingKey", "The map has no key '" + key + "'.");
    Array copy(matrix::detail::shared_copy(it->second.get()));
    if (!copy) throw fl::except::bad_alloc();
    return copy;
}

std::size_t ObjectStore::mapCount(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->entry(id).map.size();
}

void ObjectStore::remove(std::uint64_t id) {
    std::vector<Map> doomed;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto it = impl_->objects.find(id);
        if (it == impl_->objects.end()) noObject(id);
        doomed.push_back(std::move(it->second.map));
        impl_->objects.erase(it);
    }
    destroy(std::move(doomed));
}

bool ObjectStore::contains(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->objects.count(id) != 0;
}

std::size_t ObjectStore::count() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->objects.size();
}

void ObjectStore::clientHolds(std::uint64_t client, const qxArray* value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::unordered_map<std::uint64_t, std::uint64_t>* held = nullptr;  // made for the first reference
    forEachReference(value, impl_->session.get(), [&](const std::uint64_t* ids, std::size_t n) {
        if (!held) held = &impl_->held[client];
        for (std::size_t i = 0; i < n; ++i) {
            auto it = impl_->objects.find(ids[i]);
            if (it == impl_->objects.end()) continue;
            ++(*held)[ids[i]];
            ++it->second.refs;
        }
    });
}

void ObjectStore::clientReleases(std::uint64_t client,
                                 const std::vector<std::pair<std::uint64_t, std::uint64_t>>& counts) {
    std::vector<Map> doomed;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto c = impl_->held.find(client);
        if (c == impl_->held.end()) return;
        for (const auto& [id, n] : counts) {
            auto h = c->second.find(id);
            if (h == c->second.end()) continue;  // never sent: nothing to give back
            const std::uint64_t k = std::min(n, h->second);
            h->second -= k;
            if (h->second == 0) c->second.erase(h);
            impl_->drop(id, k, doomed);
        }
    }
    destroy(std::move(doomed));
}

void ObjectStore::clientGone(std::uint64_t client) {
    std::vector<Map> doomed;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto c = impl_->held.find(client);
        if (c == impl_->held.end()) return;
        for (const auto& [id, n] : c->second) impl_->drop(id, n, doomed);
        impl_->held.erase(c);
    }
    destroy(std::move(doomed));
}

Array ObjectStore::makeReference(const std::vector<qxSize>& dims, const std::vector<std::uint64_t>& ids) const {
    qxSize numel = dims.empty() ? 0 : 1;
    bool overflow = false;
    for (qxSize d : dims) overflow |= __builtin_mul_overflow(numel, d, &numel);
    for (qxSize d : dims)
        if (d == 0) numel = 0, overflow = false;
    if (overflow || numel != ids.size())
        throw ExecutionFailure("veldra:engine:badReference", "A reference needs one object id per element.");
    Array a(qx::createObjectArray(dims.size(), dims.data(), ids.data(), impl_->session));
    if (!a) throw fl::except::bad_alloc();
    return a;
}

std::vector<std::uint64_t> ObjectStore::idsOf(const qxArray* a) const {
    const auto session = qx::objectSession(a);
    if (qxGetClassID(a) != qxOBJECT_CLASS || !session || !session->alive() || session->key() != impl_->session->key())
        throw ExecutionFailure("veldra:engine:notAReference", "The value is no reference to an object of this engine.");
    const std::uint64_t* ids = qx::objectIds(a);
    const qxSize n = qxGetNumberOfElements(a);
    if (n == 0) return {};
    return std::vector<std::uint64_t>(ids, ids + n);
}

}  // namespace veldra::engine
