// Inflating a zip member with ISA-L, on a thread of its own or on demand.
#include "table/member.h"

#include "table/worker.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace vlm::table {

namespace {

// The faults of a member, as the package's own reading names them; the
// package reads a member the engine finds damaged again, and reports its
// own error.
constexpr const char TRUNCATED[] = "zip member: truncated";
constexpr const char BAD_DEFLATE[] = "zip member: bad deflate data";
constexpr const char BAD_CRC[] = "zip member: bad CRC-32";
constexpr const char READ_FAILED[] = "zip member: the file cannot be read";

constexpr size_t IN_CHUNK = 256 * 1024;
constexpr size_t BLOCK = 256 * 1024;
// A ring block: room in front for the reader's live bytes when it takes the
// block as its buffer, the data, and the buffer's zero padding after it.
constexpr size_t HEAD = 64 * 1024;
constexpr size_t BLOCK_CAP = HEAD + BLOCK + InputBuffer::PADDING;

// One member's data, inflated a piece at a time.
class Inflater {
public:
    explicit Inflater(const MemberSpec& spec) : spec_(spec), left_(spec.compressed) {
        if (spec_.deflated) {
            st_ = std::make_unique<inflate_state>();
            isal_inflate_init(st_.get());
        }
        if (spec_.fd >= 0)
            in_ = std::make_unique<char[]>(IN_CHUNK);
    }
    ~Inflater() {
        if (spec_.fd >= 0)
            ::close(spec_.fd);
    }

    bool done() const noexcept { return done_; }

    // The next bytes into [out, out + cap): how many (0 once all is out),
    // or the fault's message. A damaged member ends where zipfile ends it,
    // so that what a workbook holds never depends on who inflates it: where
    // its deflate stream ends, where its declared compressed size runs out
    // (with what the inflater could make of it), or at its declared size
    // (what lies beyond is not given); then what was given must have the
    // CRC-32 the archive declares.
    std::pair<size_t, const char*> fill(char* out, size_t cap) {
        cap = static_cast<size_t>(std::min<uint64_t>(cap, spec_.size - total_));
        size_t n = 0;
        while (n < cap && !done_) {
            if (avail_ == 0 && left_ > 0) {
                if (const char* err = load())
                    return {0, err};
            }
            if (!spec_.deflated) {
                size_t k = std::min(cap - n, avail_);
                std::memcpy(out + n, next_, k);
                next_ += k;
                avail_ -= k;
                n += k;
                done_ = avail_ == 0 && left_ == 0;
                continue;
            }
            inflate_state& st = *st_;
            st.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(next_));
            st.avail_in = static_cast<uint32_t>(avail_);
            st.next_out = reinterpret_cast<uint8_t*>(out + n);
            st.avail_out = static_cast<uint32_t>(cap - n);
            if (isal_inflate(&st) != ISAL_DECOMP_OK)
                return {0, BAD_DEFLATE};
            next_ = reinterpret_cast<const char*>(st.next_in);
            avail_ = st.avail_in;
            n = cap - st.avail_out;
            done_ = st.block_state == ISAL_BLOCK_FINISH || (avail_ == 0 && left_ == 0 && st.avail_out > 0);
        }
        crc_ = crc32_gzip_refl(crc_, reinterpret_cast<const unsigned char*>(out), n);
        total_ += n;
        done_ = done_ || total_ == spec_.size;
        if (done_ && !checked_) {
            checked_ = true;
            if (const char* err = spec_.deflated ? drain() : nullptr)
                return {0, err};
            if (crc_ != spec_.crc)
                return {0, BAD_CRC};
        }
        return {n, nullptr};
    }

private:
    // The stream's rest, past the declared size, inflated and let go:
    // zipfile inflates a step's worth of it and refuses bad data there, so
    // bad data anywhere in the member is refused here (the package then
    // reads the member as zipfile does).
    const char* drain() {
        char sink[4096];
        inflate_state& st = *st_;
        while (st.block_state != ISAL_BLOCK_FINISH) {
            if (avail_ == 0) {
                if (left_ == 0)
                    return nullptr;
                if (const char* err = load())
                    return err;
            }
            st.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(next_));
            st.avail_in = static_cast<uint32_t>(avail_);
            st.next_out = reinterpret_cast<uint8_t*>(sink);
            st.avail_out = sizeof sink;
            if (isal_inflate(&st) != ISAL_DECOMP_OK)
                return BAD_DEFLATE;
            bool moved = st.avail_in != avail_ || st.avail_out != sizeof sink;
            next_ = reinterpret_cast<const char*>(st.next_in);
            avail_ = st.avail_in;
            if (!moved && left_ == 0)
                return nullptr;
        }
        return nullptr;
    }

    // The next piece of compressed data: read from the file, or viewed in
    // memory (at most what isal_inflate takes in one call).
    const char* load() {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left_, spec_.memory ? (1u << 30) : IN_CHUNK));
        if (spec_.memory) {
            next_ = spec_.memory + (spec_.compressed - left_);
        } else {
            size_t got = 0;
            while (got < want) {
                ssize_t k = ::pread(spec_.fd, in_.get() + got, want - got,
                                    static_cast<off_t>(spec_.offset + (spec_.compressed - left_) + got));
                if (k < 0 && errno == EINTR)
                    continue;
                if (k < 0)
                    return READ_FAILED;
                if (k == 0)
                    return TRUNCATED;
                got += static_cast<size_t>(k);
            }
            next_ = in_.get();
        }
        avail_ = want;
        left_ -= want;
        return nullptr;
    }

    MemberSpec spec_;
    std::unique_ptr<inflate_state> st_;
    std::unique_ptr<char[]> in_;
    const char* next_ = nullptr;
    size_t avail_ = 0;
    uint64_t left_;
    uint64_t total_ = 0;
    uint32_t crc_ = 0;
    bool done_ = false, checked_ = false;
};

}  // namespace

// The ring between the inflating thread and the reader: RING blocks (2.5 MiB:
// slack for either side to run ahead while the other waits for a core), each
// filled by the thread and then taken by the reader as its buffer (its old
// buffer taking the block's place in the ring), so that the inflated bytes
// are never copied. `produced` and `consumed` count blocks; the thread fills
// block produced % RING while fewer than RING are waiting, the reader takes
// block consumed % RING, so the two never touch one block at once. A reader
// that finds the ring empty and the inflater idle fills the next block
// itself; `inflating` lets one thread at a time use the inflater.
struct MemberSource::State final : Feed {
    static constexpr size_t RING = 8;

    explicit State(const MemberSpec& spec) : inflater(spec) {}

    Inflater inflater;
    std::unique_ptr<char[]> blocks[RING];
    size_t caps[RING] = {};
    size_t lengths[RING] = {};
    uint64_t produced = 0, consumed = 0;
    bool finished = false, cancelled = false;
    const char* error = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::thread thread;
    bool threaded = false;   // the reader takes blocks from the ring
    bool fed = false;        // which a thread the caller runs fills
    bool inflating = false;  // a thread is filling a block (one at a time)

    // One block inflated into the ring, once there is room and the
    // inflater is free (`wait`) or if they are: false once nothing more is
    // to be done now.
    bool step(bool wait) noexcept {
        size_t slot;
        {
            std::unique_lock lock(m);
            if (wait)
                cv.wait(lock, [&] { return cancelled || finished || (!inflating && produced - consumed < RING); });
            if (cancelled || finished || inflating || produced - consumed >= RING)
                return false;
            inflating = true;
            slot = produced % RING;
        }
        return fill(slot);
    }

    // Block `slot` inflated and handed to the reader, by whoever claimed
    // the inflater (`inflating`, set under the lock): false once all is out.
    bool fill(size_t slot) noexcept {
        char* data = blocks[slot].get() + HEAD;
        auto [n, err] = inflater.fill(data, BLOCK);
        std::memset(data + n, 0, InputBuffer::PADDING);
        std::lock_guard lock(m);
        inflating = false;
        if (err) {
            error = err;
            finished = true;
        } else if (n) {
            lengths[slot] = n;
            ++produced;
            finished = inflater.done();
        } else {
            finished = true;
        }
        cv.notify_all();
        return !finished;
    }

    void top_up() noexcept override {
        while (step(false)) {
        }
    }
    void run() noexcept override {
        while (step(true)) {
        }
    }
    void cancel() noexcept override {
        {
            std::lock_guard lock(m);
            cancelled = true;
        }
        cv.notify_all();
    }
};

MemberSource::MemberSource(const MemberSpec& spec, Inflating how) : s_(std::make_shared<State>(spec)) {
    if (how != Inflating::Here && spec.compressed >= THREAD_FROM) {
        for (size_t i = 0; i < State::RING; ++i) {
            s_->blocks[i] = std::make_unique_for_overwrite<char[]>(BLOCK_CAP);
            s_->caps[i] = BLOCK_CAP;
        }
        if (how == Inflating::Fed) {
            s_->threaded = s_->fed = true;
            return;
        }
        try {
            s_->thread = start_worker([s = s_.get()] { s->run(); });
            s_->threaded = true;
        } catch (const std::system_error&) {
            // No thread to be had: inflated on demand, as a small member is.
        }
    }
}

MemberSource::~MemberSource() {
    if (s_->threaded)
        s_->cancel();
    if (s_->thread.joinable())
        s_->thread.join();
}

std::shared_ptr<Feed> MemberSource::feed() const noexcept { return s_->fed ? s_ : nullptr; }

Result<bool> MemberSource::more(InputBuffer& buf) {
    State& s = *s_;
    if (!s.threaded) {
        buf.compact();
        // Inflated straight into the reader's buffer.
        if (s.finished)
            return false;
        auto [n, err] = s.inflater.fill(buf.room(BLOCK), BLOCK);
        if (err)
            return malformed(err);
        if (n == 0) {
            s.finished = true;
            return false;
        }
        buf.grow(n);
        return true;
    }
    size_t slot;
    {
        std::unique_lock lock(s.m);
        // No block waiting and nobody inflating (the other thread busy with
        // its own work, or not given a core just now): the reader inflates
        // the next block itself rather than wait, so that a slow second core
        // slows the job less.
        while (s.produced == s.consumed && !s.finished) {
            if (s.inflating) {
                s.cv.wait(lock);
                continue;
            }
            s.inflating = true;
            size_t next = s.produced % State::RING;
            lock.unlock();
            s.fill(next);
            lock.lock();
        }
        if (s.produced == s.consumed) {
            if (s.error)
                return malformed(s.error);
            return false;
        }
        slot = s.consumed % State::RING;
    }
    // The thread leaves this block alone until it is given back: the reader
    // takes it, and the ring takes the reader's old buffer in its place (a
    // new block where that is no ring block, as the reader's first one).
    // The buffer is not compacted first: that would leave it shorter than
    // the block's head, and every block would be copied instead.
    if (!buf.adopt(s.blocks[slot], s.caps[slot], HEAD, s.lengths[slot])) {
        buf.compact();
        buf.append(s.blocks[slot].get() + HEAD, s.lengths[slot]);
    } else if (s.caps[slot] != BLOCK_CAP) {
        s.blocks[slot] = std::make_unique_for_overwrite<char[]>(BLOCK_CAP);
        s.caps[slot] = BLOCK_CAP;
    }
    {
        std::lock_guard lock(s.m);
        ++s.consumed;
    }
    s.cv.notify_all();
    return true;
}

}  // namespace vlm::table
