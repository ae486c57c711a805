#include "compression/bgzf.hpp"

#include <zlib.h>
#ifdef MERIVANE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "platform/file_io.hpp"
#include "platform/log.hpp"
#include "platform/paths.hpp"

namespace merivane::compression {

namespace {

constexpr std::size_t kHeaderSize = 18;
constexpr std::size_t kTrailerSize = 8;
// zlib counts in unsigned int: larger inputs go in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 30;
// Blocks in flight per worker: enough to keep each busy, few enough to bound memory.
constexpr std::size_t kBlocksInFlightPerWorker = 4;

std::uint32_t crc_of(std::string_view data) {
#ifdef MERIVANE_HAVE_LIBDEFLATE
    return libdeflate_crc32(0, data.data(), data.size());
#else
    return static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
#endif
}

void check_level(int level) {
    if (level < kMinLevel || level > kMaxLevel) {
        throw ValueError("compresslevel must be between " + std::to_string(kMinLevel) + " and " +
                         std::to_string(kMaxLevel) + ", not " + std::to_string(level));
    }
}

void check_settings(const CompressionSettings& settings) {
    if (settings.threads < 1) {
        throw ValueError("threads must be at least 1, not " + std::to_string(settings.threads));
    }
    check_level(settings.level);
}

// The indexes an earlier file at `destination` had beside it.
void remove_indexes(const std::string& destination) {
    for (const IndexFormat format : {IndexFormat::Tbi, IndexFormat::Csi}) {
        if (const std::string path = index_path(destination, format); path_exists(path)) remove_file(path);
    }
}

}  // namespace

struct BlockCompressor::Engine {
    z_stream z{};  // deflateEnd leaves one never initialised alone
#ifdef MERIVANE_HAVE_LIBDEFLATE
    libdeflate_compressor* fast = nullptr;
#endif

    explicit Engine(int level) {
        check_level(level);
#ifdef MERIVANE_HAVE_LIBDEFLATE
        if (level != kDefaultLevel) {
            // htslib's bgzip spreads the gzip levels over libdeflate's 1-12
            // so; a level then gives the blocks `bgzip -l` gives.
            static constexpr int kLibdeflateLevel[] = {0, 1, 2, 3, 5, 6, 7, 8, 10};
            fast = libdeflate_alloc_compressor(kLibdeflateLevel[level]);
            if (fast == nullptr) throw std::bad_alloc();
            return;
        }
#endif
        if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw RuntimeError("zlib could not be initialised");
        }
    }
    ~Engine() {
        deflateEnd(&z);
#ifdef MERIVANE_HAVE_LIBDEFLATE
        if (fast != nullptr) libdeflate_free_compressor(fast);
#endif
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Deflates `data` into `block` after its header; returns where it ends.
    std::size_t deflate_into(std::string& block, std::string_view data) {
#ifdef MERIVANE_HAVE_LIBDEFLATE
        if (fast != nullptr) {
            const std::size_t bound = libdeflate_deflate_compress_bound(fast, data.size());
            block.resize(kHeaderSize + bound + kTrailerSize);
            const std::size_t n =
                libdeflate_deflate_compress(fast, data.data(), data.size(), block.data() + kHeaderSize, bound);
            if (n == 0) throw RuntimeError("libdeflate failed to compress");
            return kHeaderSize + n;
        }
#endif
        deflateReset(&z);
        block.resize(kHeaderSize + deflateBound(&z, data.size()) + kTrailerSize);
        const auto* in = reinterpret_cast<const Bytef*>(data.data());
        std::size_t in_left = data.size();
        std::size_t used = kHeaderSize;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (z.avail_in == 0 && in_left > 0) {
                const auto piece = static_cast<uInt>(std::min(in_left, kPiece));
                z.next_in = const_cast<Bytef*>(in);
                z.avail_in = piece;
                in += piece;
                in_left -= piece;
            }
            if (block.size() - kTrailerSize <= used) block.resize(block.size() + (std::size_t{1} << 16));
            const auto room = static_cast<uInt>(std::min(block.size() - kTrailerSize - used, kPiece));
            z.next_out = reinterpret_cast<Bytef*>(block.data() + used);
            z.avail_out = room;
            rc = deflate(&z, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw RuntimeError("zlib failed to compress");
            used += room - z.avail_out;
        }
        return used;
    }
};

BlockCompressor::BlockCompressor(int level) : engine_(std::make_unique<Engine>(level)) {}
BlockCompressor::~BlockCompressor() = default;

std::string_view BlockCompressor::compress(std::string_view data) {
    const std::size_t used = engine_->deflate_into(block_, data);
    const std::size_t block_size = used + kTrailerSize;
    if (block_size > kMaxBlockSize) {
        throw ValueError("BGZF block would be " + std::to_string(block_size) + " bytes, over the 65536 limit");
    }
    // ID1 ID2 CM FLG, MTIME 0, XFL 0, OS unknown, XLEN 6, then the "BC"
    // subfield: the end-of-file marker's header up to its size.
    std::copy_n(kBgzfEof.begin(), kHeaderSize - 2, block_.begin());
    block_[kHeaderSize - 2] = static_cast<char>((block_size - 1) & 0xff);
    block_[kHeaderSize - 1] = static_cast<char>((block_size - 1) >> 8);
    block_.resize(used);
    put_le(block_, crc_of(data));
    put_le(block_, static_cast<std::uint32_t>(data.size()));
    return block_;
}

std::string bgzf_block(std::string_view data, int level) { return std::string(BlockCompressor(level).compress(data)); }

// The calling thread submits blocks and emits them in order. Workers start
// as the work needs them, up to the thread count (a small file starts one);
// with one thread the calling thread compresses every block itself.
class BgzfWriter::Pool {
public:
    Pool(int threads, int level, BgzfWriter& writer)
        : max_workers_(threads > 1 ? static_cast<std::size_t>(threads) : 0), level_(level),
          limit_(kBlocksInFlightPerWorker * static_cast<std::size_t>(threads)), writer_(writer) {}

    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    // Takes `data` (leaving it empty), then emits what is ready; waits for
    // the oldest at the in-flight limit.
    void submit(std::string& data) {
        // A deque keeps its elements in place, so workers may hold them.
        Job& job = in_order_.emplace_back();
        std::swap(job.input, data);
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&job);
            if (workers_.size() < max_workers_ && idle_ < queue_.size()) start_worker();
            if (workers_.empty()) queue_.pop_back();
        }
        if (workers_.empty()) {
            // No thread wanted, or not one could be started: compressed here, in order.
            if (!own_compressor_) own_compressor_ = std::make_unique<BlockCompressor>(level_);
            job.output.assign(own_compressor_->compress(job.input));
            job.done = true;
        }
        work_ready_.notify_one();
        emit(limit_);
    }

    // Emits the finished blocks at the head, waiting for each (polling for an
    // interrupt) while more than `keep` are in flight: 0 emits them all.
    void emit(std::size_t keep) {
        while (!in_order_.empty()) {
            const Job& head = in_order_.front();
            {
                std::unique_lock lock(mutex_);
                if (!head.done && in_order_.size() <= keep) return;
                while (!job_done_.wait_for(lock, std::chrono::milliseconds(50), [&] { return head.done; })) {
                    lock.unlock();
                    writer_.poller_.poll();
                    lock.lock();
                }
            }
            if (head.error) std::rethrow_exception(head.error);
            writer_.block_offsets_.push_back(writer_.written_);
            writer_.sink_(head.output);
            writer_.written_ += head.output.size();
            in_order_.pop_front();
        }
    }

private:
    struct Job {
        std::string input;
        std::string output;
        bool done = false;
        std::exception_ptr error;
    };

    void start_worker() {
        // Made on the calling thread, so that its failure reaches the caller.
        auto compressor = std::make_shared<BlockCompressor>(level_);
        try {
            workers_.emplace_back([this, compressor] { work(*compressor); });
        } catch (const std::system_error& error) {
            // A limit on threads: go on with the workers there are.
            if (error.code() != std::errc::resource_unavailable_try_again) throw;
            log_warning("Compressing with %d threads instead of %d: the system would start no more",
                        {static_cast<std::int64_t>(std::max<std::size_t>(workers_.size(), 1)),
                         static_cast<std::int64_t>(max_workers_)});
            max_workers_ = workers_.size();
        }
    }

    void work(BlockCompressor& compressor) {
        std::unique_lock lock(mutex_);
        while (true) {
            ++idle_;
            work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            --idle_;
            if (stopping_) return;
            Job* job = queue_.front();
            queue_.pop_front();
            lock.unlock();
            // The calling thread reads the job only once it sees it done, under the lock.
            try {
                job->output.assign(compressor.compress(job->input));
            } catch (...) {
                job->error = std::current_exception();
            }
            lock.lock();
            job->done = true;
            job_done_.notify_all();
        }
    }

    std::size_t max_workers_;
    const int level_;
    const std::size_t limit_;
    BgzfWriter& writer_;

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    std::deque<Job*> queue_;  // waiting for a worker
    std::size_t idle_ = 0;    // workers waiting for work
    bool stopping_ = false;
    std::vector<std::thread> workers_;  // started and joined by the calling thread alone

    // The calling thread's alone.
    std::deque<Job> in_order_;  // submitted, not yet emitted
    std::unique_ptr<BlockCompressor> own_compressor_;  // only when no worker runs
};

BgzfWriter::BgzfWriter(ByteSink sink, const CompressionSettings& settings)
    : sink_(std::move(sink)) {
    check_settings(settings);
    pool_ = std::make_unique<Pool>(settings.threads, settings.level, *this);
    pending_.reserve(kUncompressedBlockSize);
}

BgzfWriter::~BgzfWriter() = default;

void BgzfWriter::write(std::string_view data) {
    if (!pool_) throw std::logic_error("BgzfWriter::write after finish or a failure");
    try {
        while (!data.empty()) {
            const std::size_t take = std::min(data.size(), kUncompressedBlockSize - pending_.size());
            pending_.append(data.substr(0, take));
            data.remove_prefix(take);
            if (pending_.size() == kUncompressedBlockSize) {
                pool_->submit(pending_);
                pending_.reserve(kUncompressedBlockSize);
                poller_.poll();
            }
        }
    } catch (...) {
        pool_.reset();  // workers stopped and joined before the error travels on
        throw;
    }
}

void BgzfWriter::finish() {
    if (finished_) return;
    if (!pool_) throw std::logic_error("BgzfWriter::finish after a failure");
    // Stopped and joined on the way out, whether the last blocks went out or not.
    const std::unique_ptr<Pool> pool = std::move(pool_);
    if (!pending_.empty()) pool->submit(pending_);
    pool->emit(0);
    sink_(kBgzfEof);
    written_ += kBgzfEof.size();
    finished_ = true;
}

std::uint64_t virtual_offset(const std::vector<std::uint64_t>& block_offsets, std::uint64_t text_size,
                             std::uint64_t eof_offset, std::uint64_t u) noexcept {
    if (u >= text_size) return eof_offset << 16;
    return block_offsets[u / kUncompressedBlockSize] << 16 | (u % kUncompressedBlockSize);
}

std::string write_bgzf(const std::string& source_path, const std::string& destination_path,
                       const CompressionSettings& settings) {
    check_settings(settings);
    const UniqueFd source(open_for_reading(source_path));
    // The destination and any index beside it are replaced or removed.
    reject_outputs_naming_inputs(written_beside(destination_path), {source_path}, "destination_path");
    write_indexed_bgzf(destination_path, settings, name_lines_of(source_path), [&](const ByteSink& emit) {
        std::string chunk(std::size_t{16} * kUncompressedBlockSize, '\0');
        while (const std::size_t n = read_some(source.get(), chunk.data(), chunk.size(), source_path)) {
            emit(std::string_view(chunk.data(), n));
        }
    });
    return destination_path;
}

std::vector<std::string> written_beside(const std::string& destination) {
    return {destination, index_path(destination, IndexFormat::Tbi), index_path(destination, IndexFormat::Csi)};
}

namespace {

// The index's bytes as BGZF, made durable but not yet in place. Level 6, as
// tabix: 9 is several times slower on a linear index's runs.
void write_index(AtomicOutput& index, const std::string& bytes) {
    CompressionSettings index_settings;
    index_settings.level = 6;
    BgzfWriter index_writer([&index](std::string_view block) { index.write(block); }, index_settings);
    index_writer.write(bytes);
    index_writer.finish();
    index.prepare();
}

// Both files durable first, so a failure leaves the earlier pair. Then,
// locked against other runs in the directory: earlier indexes removed, data
// and index renamed. The index beside the data is always its own; a crash
// inside leaves the new data with no index, never an earlier one.
void put_in_place(AtomicOutput& out, AtomicOutput* index, const std::string& destination) {
    if (out.writes_directly()) {
        out.commit();
        return;
    }
    out.prepare();
    const std::string directory = directory_of(destination);
    const UniqueFd lock = lock_directory(directory);
    remove_indexes(destination);
    out.place();
    if (index) index->place();
    sync_directory(directory);
}

}  // namespace

void write_indexed_bgzf(const std::string& destination, const CompressionSettings& settings, const LineNamer& namer,
                        const std::function<void(const ByteSink& emit)>& produce) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::duration compressing{};
    Clock::duration indexing{};
    // The bytes stream from `produce` into both, so each step times its own.
    auto timed = [&settings](Clock::duration& total, auto&& step) {
        if (!settings.seconds) return step();
        const Clock::time_point before = Clock::now();
        step();
        total += Clock::now() - before;
    };
    AtomicOutput out(destination);
    // Written in place (a device, a FIFO), the data has no index beside it,
    // and an earlier one stops matching it at once.
    std::optional<TabixIndexBuilder> builder;
    if (out.writes_directly()) {
        remove_indexes(destination);
    } else if (settings.index) {
        builder.emplace(*settings.index, namer);
    }
    BgzfWriter writer([&out](std::string_view block) { out.write(block); }, settings);
    produce([&](std::string_view data) {
        timed(indexing, [&] {
            if (builder) builder->feed(data);
        });
        timed(compressing, [&] { writer.write(data); });
    });
    timed(compressing, [&] { writer.finish(); });
    std::optional<AtomicOutput> index;
    timed(indexing, [&] {
        if (!builder) return;
        const std::string bytes = builder->finish(writer.block_offsets(), writer.compressed_size());
        write_index(index.emplace(index_path(destination, *settings.index)), bytes);
    });
    put_in_place(out, index ? &*index : nullptr, destination);
    if (settings.seconds) {
        const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
        settings.seconds->compress += seconds(compressing);
        settings.seconds->index += seconds(indexing);
        // What is left is the producing: sorting, or reading the source.
        settings.seconds->sort += seconds(Clock::now() - start - compressing - indexing);
        settings.seconds->bytes = writer.compressed_size();
    }
}

}  // namespace merivane::compression
