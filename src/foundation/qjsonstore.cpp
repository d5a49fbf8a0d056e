#include "foundation/qjsonstore.h"

thread_local bool TNodeChunkCache::FGone = false;

TNodeChunkCache::~TNodeChunkCache()
{
    FGone = true;
}

TNodeChunkCache::TChunk TNodeChunkCache::Take()
{
    if (!FGone && !ThisThread().FChunks.empty()) {
        TChunk chunk = std::move(ThisThread().FChunks.back());
        ThisThread().FChunks.pop_back();
        return chunk;
    }
    return std::make_unique_for_overwrite<TNodeSlot[]>(kChunkNodes);
}

void TNodeChunkCache::Give(TChunk AChunk)
{
    if (!FGone && ThisThread().FChunks.size() < kKeptChunks)
        ThisThread().FChunks.push_back(std::move(AChunk));
}

TNodeChunkCache& TNodeChunkCache::ThisThread()
{
    thread_local TNodeChunkCache cache;
    return cache;
}

TQJsonStore::~TQJsonStore()
{
    for (auto& chunk : FChunks)
        TNodeChunkCache::Give(std::move(chunk));
}

void TQJsonStore::Grow()
{
    FChunks.push_back(TNodeChunkCache::Take());
    FNext = FChunks.back().get();
    FEnd = FNext + TNodeChunkCache::kChunkNodes;
}
