#pragma once

#include <string>

// The broker objects of the end-to-end benchmark, the same in every virtual
// host it uses: one durable input queue, one direct output exchange and one
// queue per shard, named after its routing key and bound with it.
namespace e2e {

constexpr const char* InputQueue = "in";
constexpr const char* OutputExchange = "out";
constexpr const char* ShardPrefix = "s"; // routing key and queue of shard i: "s<i>"

inline std::string shardName(int shard)
{
    return ShardPrefix + std::to_string(shard);
}

} // namespace e2e
