#pragma once

#include "corvaxis/anatomy/KeyValueStore.h"
#include "corvaxis/core/Log.h"

#include <string>
#include <vector>

namespace corvaxis::test {

/// Records a store's signals as text ("added a", "changed a", "removed a") in emission order;
/// a removal during which the key is still listed is marked.
template <typename T>
struct StoreRecorder : SignalReceiver {
    using Store = KeyValueStore<T>;
    explicit StoreRecorder(Store& store)
    {
        store.signalEntryAdded.connect(this, [this](const std::string& key, Store::Entry&) { events.push_back("added " + key); });
        store.signalEntryRemoved.connect(this, [this, &store](const std::string& key, Store::SignalValue) {
            events.push_back("removed " + key + (store.has(key) ? " (still listed)" : ""));
        });
        store.signalEntryChanged.connect(this, [this](const std::string& key, Store::SignalValue previous, Store::Entry&) {
            events.push_back("changed " + key);
            if constexpr (Store::isVectorStore)
                previousVectors.push_back(previous);
            else
                previousObjects.push_back(&previous);
        });
    }
    std::vector<std::string> events;
    std::vector<std::conditional_t<Store::isVectorStore, T, int>> previousVectors;
    std::vector<const T*> previousObjects;
};

/// Captures the store's log messages (checking level, category, file and line) and restores the
/// log's global state afterwards.
struct LogCapture {
    LogCapture()
        : sink(Log::addSink([this](const Log::Record& record) {
              const bool storeRecord = record.level == 4 && record.category == "AnatomyPlugin.KeyValueStore" &&
                                       record.file.empty() && record.line == -1;
              messages.push_back(storeRecord ? record.message : "unexpected record: " + record.message);
          }))
    {
    }
    ~LogCapture()
    {
        Log::removeSink(sink);
        Log::g_globalLevel = savedLevel;
        Log::removeCategoryFilter("AnatomyPlugin");
    }
    int savedLevel = Log::g_globalLevel;
    std::vector<std::string> messages;
    std::size_t sink;
};

}  // namespace corvaxis::test
