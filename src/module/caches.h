// What the engine keeps between calls, owned by the module state: the namespace
// lookups it may reuse and the code objects of its traceback entries. Setting
// PELMORA_UNCACHED (to anything but "" or "0") before import turns both off, and
// the free lists (free_lists.h) too.
#pragma once

#include "module/compat.h"

#include <cstddef>
#include <cstdint>

namespace pelmora {

// True when the environment asks for every lookup and traceback entry made afresh.
bool caches_switched_off();

// Each name's last namespace hit, valid only while the namespace dictionary is
// unchanged. Values are borrowed from that dictionary, which holds them as long
// as it is unchanged; a hit is handed out with a reference of its own. Names that
// the namespace does not bind are never kept: they go the generic way. Nothing is
// kept on a free-threaded build, where another thread could free a borrowed value.
template <std::size_t kSlots>
class LookupCache {
public:
    LookupCache() = default;
    LookupCache(const LookupCache&) = delete;
    LookupCache& operator=(const LookupCache&) = delete;

    // Follows `namespace_dict` from now on, where the interpreter can tell its changes.
    void start(PyObject* namespace_dict) {
        stop();
        if (caches_switched_off() || !compat::follow_dict(namespace_dict, &watcher_)) return;
        dict_ = namespace_dict;
    }

    // Forgets everything; before the followed dictionary goes away.
    void stop() {
        if (dict_ != nullptr) compat::stop_following(dict_, watcher_);
        dict_ = nullptr;
        watcher_ = -1;
        for (Entry& entry : entries_) entry = Entry{};
    }

    // What `state` compares: read it before a lookup whose result may be kept.
    std::uint64_t state(PyObject* namespace_dict) const { return compat::dict_state(namespace_dict); }

    // Borrowed value kept for `slot`, or null.
    PyObject* find(std::size_t slot, PyObject* namespace_dict) const {
        if constexpr (!compat::kFollowsDicts) return nullptr;
        const Entry& entry = entries_[slot];
        if (entry.value != nullptr && namespace_dict == dict_ &&
            entry.state == compat::dict_state(namespace_dict))
            return entry.value;
        return nullptr;
    }

    // Keeps `value` (borrowed), found in `namespace_dict` when it was in `state`.
    void keep(std::size_t slot, PyObject* namespace_dict, PyObject* value, std::uint64_t state) {
        if constexpr (!compat::kFollowsDicts) return;
        if (namespace_dict == dict_) entries_[slot] = Entry{value, state};
    }

private:
    struct Entry {
        PyObject* value = nullptr;
        std::uint64_t state = 0;
    };
    PyObject* dict_ = nullptr;  // borrowed; null: nothing is kept
    int watcher_ = -1;
    Entry entries_[kSlots] = {};
};

// One code object per place that adds a traceback entry, made on the first
// failure there. Code objects belong to one interpreter: each module state has
// a cache of its own, and no code object is kept past the module's clear.
class CodeCache {
public:
    CodeCache() = default;
    CodeCache(const CodeCache&) = delete;
    CodeCache& operator=(const CodeCache&) = delete;

    // Without a GIL two threads could fill the table at once: every entry is made afresh there.
    void start() { enabled_ = !compat::kFreeThreaded && !caches_switched_off(); }

    // New reference to the code object of an entry in `module_file` at `module_line`
    // whose function-name field is "function (site_file:site_line)" (just `function`
    // when site_line is 0), or null with an exception set.
    PyObject* code(const char* module_file, const char* function, const char* site_file,
                   int site_line, int module_line);

    // Releases every code object and keeps no more until the next start.
    void clear();

private:
    struct Entry {
        const char* function;
        const char* site_file;
        int site_line;
        int module_line;
        PyObject* code;  // owned
    };
    // More than every row of every routine plus the argument and init sites.
    static constexpr std::size_t kCapacity = 256;
    Entry entries_[kCapacity] = {};
    std::size_t count_ = 0;
    bool enabled_ = false;
};

}  // namespace pelmora
