#pragma once

#include "foundation/qjson.h"

#include <QString>
#include <QStringView>

#include <memory>
#include <new>
#include <vector>

// The node allocator of TQJson: what the document, the reader and the writer share, not part of the public API.

struct alignas(TQJson) TNodeSlot {
    unsigned char FBytes[sizeof(TQJson)];
};

// Node chunks stay below the allocator's mapping threshold and are kept per thread for the next document: a reply
// page needs a few hundred kilobytes of nodes, which would otherwise go back to the system after each parse and be
// faulted in again on the next one.
class TNodeChunkCache {
public:
    static constexpr size_t kChunkNodes = 32 * 1024 / sizeof(TQJson);
    using TChunk = std::unique_ptr<TNodeSlot[]>;

    TNodeChunkCache() = default;
    TNodeChunkCache(const TNodeChunkCache&) = delete;
    TNodeChunkCache& operator=(const TNodeChunkCache&) = delete;
    ~TNodeChunkCache();

    static TChunk Take();
    // A document destroyed while its thread ends (a thread-local one) frees its chunks instead.
    static void Give(TChunk AChunk);

private:
    static constexpr size_t kKeptChunks = 64; // 2 MB per thread

    static TNodeChunkCache& ThisThread();

    std::vector<TChunk> FChunks;
    static thread_local bool FGone;
};

// Owns the nodes of one tree (allocated in chunks, so a parse costs no allocation per node) and the parsed
// texts that names and values point into.
class TQJsonStore {
public:
    TQJsonStore() = default;
    TQJsonStore(const TQJsonStore&) = delete;
    TQJsonStore& operator=(const TQJsonStore&) = delete;
    ~TQJsonStore(); // every node has been released by the root before

    TQJson* Allocate(TQJson* AParent)
    {
        void* slot = FFree;
        if (slot != nullptr) {
            FFree = *static_cast<void**>(slot);
        } else {
            if (FNext == FEnd)
                Grow();
            slot = FNext++;
        }
        return new (slot) TQJson(this, AParent);
    }

    // Destroys the node only: the caller has taken its children away before.
    void Release(TQJson* ANode)
    {
        ANode->~TQJson();
        void* slot = ANode;
        *static_cast<void**>(slot) = FFree;
        FFree = slot;
    }

    QStringView Keep(QString AText)
    {
        FSources.push_back(std::move(AText));
        return FSources.back();
    }
    void DropSources() { FSources.clear(); }
    void DropLastSource() { FSources.pop_back(); }

private:
    void Grow();

    std::vector<TNodeChunkCache::TChunk> FChunks;
    TNodeSlot* FNext = nullptr;
    TNodeSlot* FEnd = nullptr;
    void* FFree = nullptr;
    std::vector<QString> FSources; // moving a QString keeps its buffer, so views stay valid
};
