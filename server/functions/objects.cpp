// Engine objects and the references that name them.
#include "functions/function.hpp"

#include <fl/except.hpp>
#include <qx/block.hpp>

#include <atomic>
#include <mutex>
#include <random>

namespace veldra::engine {

namespace {

// The session object arrays carry.  It outlives the store when arrays do, so
// the store tells it through a shared flag that it has gone.
class StoreSession : public qx::ObjectSession {
public:
    StoreSession(std::shared_ptr<std::atomic<bool>> alive, std::uint64_t key)
        : alive_(std::move(alive)), key_(key) {}
    bool alive() const noexcept override { return alive_->load(); }
    std::uint64_t key() const noexcept override { return key_; }

private:
    std::shared_ptr<std::atomic<bool>> alive_;
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

}  // namespace

struct ObjectStore::Impl {
    using Map = std::map<std::string, Array>;

    Impl() : alive(std::make_shared<std::atomic<bool>>(true)),
             session(std::make_shared<StoreSession>(alive, randomKey())) {}
    ~Impl() { alive->store(false); }

    Map& map(std::uint64_t id) {
        auto it = maps.find(id);
        if (it == maps.end()) noObject(id);
        return it->second;
    }

    mutable std::mutex mutex;
    std::map<std::uint64_t, Map> maps;
    std::uint64_t nextId = 1;
    std::shared_ptr<std::atomic<bool>> alive;
    std::shared_ptr<const StoreSession> session;
};

ObjectStore::ObjectStore() : impl_(std::make_shared<Impl>()) {}

std::uint64_t ObjectStore::newMap() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const std::uint64_t id = impl_->nextId++;
    impl_->maps.emplace(id, Impl::Map());
    return id;
}

void ObjectStore::mapSet(std::uint64_t id, const std::string& key, Array value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->map(id)[key] = std::move(value);
}

Array ObjectStore::mapGet(std::uint64_t id, const std::string& key) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Impl::Map& m = impl_->map(id);
    auto it = m.find(key);
    if (it == m.end())
        throw ExecutionFailure("veldra:engine:missingKey", "The map has no key '" + key + "'.");
    Array copy(matrix::detail::shared_copy(it->second.get()));
    if (!copy) throw fl::except::bad_alloc();
    return copy;
}

std::size_t ObjectStore::mapCount(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->map(id).size();
}

void ObjectStore::remove(std::uint64_t id) {
    Impl::Map doomed;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->maps.find(id);
    if (it == impl_->maps.end()) noObject(id);
    doomed.swap(it->second);
    impl_->maps.erase(it);
}

bool ObjectStore::contains(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->maps.count(id) != 0;
}

Array ObjectStore::makeReference(const std::vector<qxSize>& dims,
                                 const std::vector<std::uint64_t>& ids) const {
    qxSize numel = dims.empty() ? 0 : 1;
    bool overflow = false;
    for (qxSize d : dims) overflow |= __builtin_mul_overflow(numel, d, &numel);
    for (qxSize d : dims)
        if (d == 0) numel = 0, overflow = false;
    if (overflow || numel != ids.size())
        throw ExecutionFailure("veldra:engine:badReference",
                               "A reference needs one object id per element.");
    Array a(qx::createObjectArray(dims.size(), dims.data(), ids.data(), impl_->session));
    if (!a) throw fl::except::bad_alloc();
    return a;
}

std::vector<std::uint64_t> ObjectStore::idsOf(const qxArray* a) const {
    const auto session = qx::objectSession(a);
    if (qxGetClassID(a) != qxOBJECT_CLASS || !session || !session->alive() ||
        session->key() != impl_->session->key())
        throw ExecutionFailure("veldra:engine:notAReference",
                               "The value is no reference to an object of this engine.");
    const std::uint64_t* ids = qx::objectIds(a);
    const qxSize n = qxGetNumberOfElements(a);
    if (n == 0) return {};
    return std::vector<std::uint64_t>(ids, ids + n);
}

}  // namespace veldra::engine
