// The lookup cache: when it may keep a value, and how it learns that the namespace changed.
#include "module/lookup_cache.h"

#include "module/ref.h"

#include <new>
#include <utility>

namespace pelmora {
namespace {

// Whether every key of `dict` is an exact str, so that a lookup compares keys without
// running code. Nothing here runs code either.
bool keys_all_exact_text(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(dict, &position, &key, &value))
        if (!compat::is_exact_text(key)) return false;
    return true;
}

}  // namespace

#if defined(PELMORA_DICT_WATCHERS)

// The modules of one interpreter that follow their namespaces, and the one dictionary
// watcher id they share; kept in the interpreter's own dictionary, given back with the
// last follower.
struct Followers {
    int watcher = -1;
    LookupCache* first = nullptr;

    // The calling interpreter's followers; made when `make` is true. Null, with
    // nothing pending, when there are none or there is no room for them.
    static Followers* of_this_interpreter(bool make);

    // The watcher's callback: the change is announced to each cache that follows `dict`.
    static int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                         PyObject* value) {
        PendingException pending = PendingException::take();
        if (Followers* all = of_this_interpreter(false))
            for (LookupCache* cache = all->first; cache != nullptr; cache = cache->next_)
                if (cache->dict_ == dict) cache->announce(event, key, value);
        pending.restore();
        return 0;
    }
};

namespace {

constexpr char kFollowersKey[] = "Pelmora.namespace_followers";

void free_followers(PyObject* capsule) {
    PyMem_Free(PyCapsule_GetPointer(capsule, kFollowersKey));
}

}  // namespace

Followers* Followers::of_this_interpreter(bool make) {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (shared == nullptr) return nullptr;
    PyObject* capsule = nullptr;
    int found = PyDict_GetItemStringRef(shared, kFollowersKey, &capsule);
    if (found == 0 && make) {
        void* memory = PyMem_Malloc(sizeof(Followers));
        Followers* made = memory != nullptr ? new (memory) Followers : nullptr;
        capsule = made != nullptr ? PyCapsule_New(made, kFollowersKey, free_followers) : nullptr;
        if (capsule == nullptr) PyMem_Free(memory);
        found = capsule != nullptr && PyDict_SetItemString(shared, kFollowersKey, capsule) == 0
                    ? 1
                    : -1;
    }
    // The interpreter's dictionary holds the capsule, and so the followers, from here on.
    void* followers = found > 0 ? PyCapsule_GetPointer(capsule, kFollowersKey) : nullptr;
    Py_XDECREF(capsule);
    if (followers == nullptr) PyErr_Clear();
    return static_cast<Followers*>(followers);
}

void LookupCache::start(PyObject* namespace_dict, PyObject* const* names, std::size_t count,
                        bool enabled) {
    stop();
    if (!enabled || count > kCapacity) return;
    Followers* all = Followers::of_this_interpreter(true);
    if (all == nullptr) return;
    if (all->watcher < 0 && (all->watcher = PyDict_AddWatcher(Followers::on_change)) < 0) {
        PyErr_Clear();  // every id is taken: plain lookups
        return;
    }
    if (PyDict_Watch(all->watcher, namespace_dict) < 0) {
        PyErr_Clear();
        if (all->first == nullptr && PyDict_ClearWatcher(std::exchange(all->watcher, -1)) < 0)
            PyErr_Clear();
        return;
    }
    next_ = std::exchange(all->first, this);
    dict_ = namespace_dict;
    names_ = names;
    count_ = count;
    suspended_at_ = 0;
    for (Announced& announced : announced_) announced = Announced{};
}

void LookupCache::stop() {
    if (dict_ != nullptr) {
        // A module freed while an exception propagates gets here with it pending.
        PendingException pending = PendingException::take();
        if (Followers* all = Followers::of_this_interpreter(false)) {
            if (PyDict_Unwatch(all->watcher, dict_) < 0) PyErr_Clear();
            for (LookupCache** link = &all->first; *link != nullptr; link = &(*link)->next_) {
                if (*link == this) {
                    *link = next_;
                    break;
                }
            }
            if (all->first == nullptr && PyDict_ClearWatcher(std::exchange(all->watcher, -1)) < 0)
                PyErr_Clear();
        }
        pending.restore();
        next_ = nullptr;
        dict_ = nullptr;
    }
    release_all();
}

std::size_t LookupCache::slot_of(PyObject* key) const {
    for (std::size_t slot = 0; slot < count_; ++slot)
        if (names_[slot] == key) return slot;
    for (std::size_t slot = 0; slot < count_; ++slot)
        if (compat::text_equal(names_[slot], key)) return slot;
    return count_;
}

// Runs before the change is made, and may be followed by other watchers' callbacks
// that look names up while the dictionary still holds the old value.
void LookupCache::announce(PyDict_WatchEvent event, PyObject* key, PyObject* value) {
    ++changes_;
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (compat::is_exact_text(key)) {
                std::size_t slot = slot_of(key);
                if (slot < count_) announced_[slot] = Announced{true, value};
                return;
            }
            break;  // a key that compares by its own code may stand for any name
        default:
            break;  // cleared, or refilled from another dictionary
    }
    // No slot can tell when this change is made. A watcher's callback must not change the
    // dictionary it is told of, so the next announcement comes after this change is made.
    suspended_at_ = changes_;
}

bool LookupCache::trusted(std::uint64_t seen) const { return suspended_at_ != seen; }

bool LookupCache::confirmed(std::size_t slot, PyObject* value) {
    Announced& announced = announced_[slot];
    if (!announced.pending) return true;
    // The announced object is alive while the dictionary holds it; any other object at
    // its address would have come with an announcement of its own.
    if (announced.value != value) return false;
    announced = Announced{};
    return true;
}

#else

void LookupCache::start(PyObject* namespace_dict, PyObject* const*, std::size_t count,
                        bool enabled) {
    stop();
#if defined(PELMORA_DICT_VERSIONS)
    if (enabled && count <= kCapacity) dict_ = namespace_dict;
#else
    (void)namespace_dict;
    (void)count;
    (void)enabled;
#endif
}

void LookupCache::stop() {
    dict_ = nullptr;
    release_all();
}

bool LookupCache::trusted(std::uint64_t) const { return true; }
bool LookupCache::confirmed(std::size_t, PyObject*) { return true; }

#endif

void LookupCache::release_all() {
    settled_ = 0;  // nothing is served while values are released
    for (PyObject*& slot : values_) {
        PyObject* value = std::exchange(slot, nullptr);
        Py_XDECREF(value);  // may run code that looks names up again
    }
}

void LookupCache::keep(std::size_t slot, PyObject* value, std::uint64_t seen) {
    if (dict_ == nullptr || current() != seen || !trusted(seen)) return;
    if (checked_ != seen) {
        // The first keep after a change: what was kept is stale, and a key may have come
        // that compares by its own code.
        release_all();
        if (dict_ == nullptr || current() != seen) return;
        mixed_keys_ = !keys_all_exact_text(dict_);
        checked_ = settled_ = seen;
    }
    if (mixed_keys_ || !confirmed(slot, value)) return;
    Py_INCREF(value);
    PyObject* old = std::exchange(values_[slot], value);
    Py_XDECREF(old);
}

}  // namespace pelmora
