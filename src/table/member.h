// MemberSource: a zip member's bytes, inflated by the engine itself, as a
// byte source for the XML reader. The package finds where the member's data
// lies (its local header checked as zipfile checks it) and the engine reads
// from there: from a file it opens by path, reading with pread, or from a
// buffer the package holds in memory. Deflated data is inflated with
// ISA-L's igzip. A damaged member ends where zipfile ends it, and what it
// gave must have the CRC-32 the archive's directory declares, as zipfile
// checks it (see Inflater::fill).
//
// Inflating runs on another thread while the reader parses what came
// before, through a ring of a few blocks: inflating a sheet costs about as
// much as parsing it, so the two together take little longer than either.
// That thread is the source's own, or one the caller runs that also has
// other work (a `Feed`: the string table's thread, which keeps the ring
// full between pieces of the table and then inflates the rest), so that
// a job never has more threads running than two cores hold. A member too
// small to be worth a thread is inflated on the caller's. The inflating
// never touches the interpreter, and it stops whenever the source is
// dropped, however early (its own thread joined then).
#pragma once

#include "host/source.h"

#include <cstdint>
#include <memory>

namespace vlm::table {

struct MemberSpec {
    int fd = -1;                   // a file open for reading (owned by the source), or
    const char* memory = nullptr;  // the member's bytes in memory (borrowed)
    uint64_t offset = 0;           // where its data starts (in the file; 0 in memory)
    uint64_t compressed = 0;       // bytes of data
    uint64_t size = 0;             // bytes once inflated, as the directory says
    uint32_t crc = 0;              // their CRC-32
    bool deflated = true;          // else stored
};

// Who inflates a member: the reader's thread as it asks (a thread that has
// nothing else to do), the source's own thread, or the caller's (`feed`).
enum class Inflating { Here, OwnThread, Fed };

// The inflating of a Fed source, for the thread the caller runs; it stays
// valid after the source is dropped (and then does nothing). A source no
// thread feeds after all is inflated by its reader, a block at a time.
class Feed {
public:
    virtual ~Feed() = default;
    // Inflates blocks while the ring has room, without waiting.
    virtual void top_up() noexcept = 0;
    // Inflates the rest, waiting for room: returns once all is inflated,
    // on a fault, or once cancelled.
    virtual void run() noexcept = 0;
    // Stops the inflating: the reader will take no more (a feeding thread
    // is then joined without waiting for the ring to drain).
    virtual void cancel() noexcept = 0;
};

class MemberSource final : public ByteSource {
public:
    // Takes the spec's file over (closing it with the source).
    explicit MemberSource(const MemberSpec& spec, Inflating how = Inflating::OwnThread);
    ~MemberSource() override;
    MemberSource(const MemberSource&) = delete;
    MemberSource& operator=(const MemberSource&) = delete;

    [[nodiscard]] Result<bool> more(InputBuffer& buf) override;

    // The inflating of a Fed source (null for one inflated here: a small
    // member, or another mode).
    std::shared_ptr<Feed> feed() const noexcept;

    // Members at least this large (compressed) are inflated on a thread.
    static constexpr uint64_t THREAD_FROM = 64 * 1024;

private:
    struct State;
    std::shared_ptr<State> s_;
};

}  // namespace vlm::table
