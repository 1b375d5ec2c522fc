#pragma once
#include <cstddef>

namespace gridlet {

inline constexpr std::size_t MAX_MESSAGE_SIZE = 1048576;  // characters of one incoming frame
inline constexpr std::size_t CHUNK_SIZE = 65536;          // characters of JSON text per outgoing piece
inline constexpr const char* CHUNK_HEADER_TYPE = "chunk";
inline constexpr double DEBUG_MESSAGE_SEND_TIMEOUT = 5.0;
inline constexpr int WORKER_POOL_SIZE = 10;
inline constexpr double BATCH_FLUSH_INTERVAL = 0.01;

// Bounds on incoming chunk reassembly.
inline constexpr std::size_t MAX_CHUNKS_PER_MESSAGE = 16384;
inline constexpr std::size_t MAX_CHUNK_BUFFER_BYTES = 256u << 20;  // all incomplete messages together
inline constexpr std::size_t MAX_INCOMPLETE_MESSAGES = 1024;
inline constexpr double CHUNK_IDLE_SECONDS = 120.0;

// Outgoing backpressure: a worker producing faster than the socket drains waits above this.
inline constexpr std::size_t OUTBOX_HIGH_WATER = 8u << 20;

}  // namespace gridlet
