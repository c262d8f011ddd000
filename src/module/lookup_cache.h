// Each name's last hit in the module namespace, served again for as long as the namespace
// has not changed. The engine asks `find` first; after a miss it reads `stamp`, looks the
// name up itself and offers what it found to `keep`.
//
// When the cache keeps nothing: on Python 2.7 and free-threaded builds, without a watcher
// id on 3.12+, while the namespace has a key that is not an exact str (comparing such a key
// runs code whose answer may change), and for names it does not bind (those go on to the
// builtins, which are never kept). From 3.12 a change is announced before it is made: a
// value found meanwhile is kept only once it is the announced one.
#pragma once

#include "module/compat.h"

#include <cstddef>
#include <cstdint>

namespace pelmora {

class LookupCache {
public:
    static constexpr std::size_t kCapacity = 40;

    LookupCache() = default;
    LookupCache(const LookupCache&) = delete;
    LookupCache& operator=(const LookupCache&) = delete;

    // Follows `namespace_dict`, whose lookups of `names[i]` go to slot i, when `enabled` and
    // the interpreter can tell its changes. Nothing is pending afterwards.
    void start(PyObject* namespace_dict, PyObject* const* names, std::size_t count,
               bool enabled);

    // Stops following and releases every kept value; the exception pending, if any, stays.
    void stop();

    // Borrowed value kept for `slot`, or null. The cache holds it until its next `keep`.
    PyObject* find(std::size_t slot) const {
        if (dict_ == nullptr || settled_ != current()) return nullptr;
        return values_[slot];
    }

    // What `keep` compares: read it before the lookup whose result may be kept.
    std::uint64_t stamp() const { return dict_ != nullptr ? current() : 0; }

    // Keeps a reference of its own to `value`, found for `slot` when the namespace was at
    // `seen`, unless the namespace cannot be trusted to stay as it was. May release earlier
    // values, which can run any code.
    void keep(std::size_t slot, PyObject* value, std::uint64_t seen);

    // Calls `visit(value)` for every kept value, stopping at the first non-zero result.
    template <class Visit>
    int visit(Visit visit) const {
        for (PyObject* value : values_)
            if (value != nullptr)
                if (int result = visit(value)) return result;
        return 0;
    }

private:
    std::uint64_t current() const {
#if defined(PELMORA_DICT_WATCHERS)
        return changes_;
#elif defined(PELMORA_DICT_VERSIONS)
        return compat::dict_version(dict_);
#else
        return 0;
#endif
    }
    void release_all();
    bool trusted(std::uint64_t seen) const;
    bool confirmed(std::size_t slot, PyObject* value);

    PyObject* dict_ = nullptr;  // borrowed: the module owns it; null: nothing is kept
    PyObject* values_[kCapacity] = {};  // owned
    std::uint64_t settled_ = 0;  // the stamp the values belong to; 0 belongs to none
    std::uint64_t checked_ = 0;  // the stamp at which the keys were last checked
    bool mixed_keys_ = false;    // a key then was not an exact str

#if defined(PELMORA_DICT_WATCHERS)
    friend struct Followers;
    void announce(PyDict_WatchEvent event, PyObject* key, PyObject* value);
    std::size_t slot_of(PyObject* key) const;

    // An announced change of a slot's name, until a lookup finds it made.
    struct Announced {
        bool pending = false;
        PyObject* value = nullptr;  // only compared, never used: null for a deletion
    };
    PyObject* const* names_ = nullptr;  // borrowed from the module state
    std::size_t count_ = 0;
    Announced announced_[kCapacity] = {};
    std::uint64_t changes_ = 1;
    std::uint64_t suspended_at_ = 0;  // the change no slot could follow
    LookupCache* next_ = nullptr;  // the interpreter's next follower
#endif
};

}  // namespace pelmora
