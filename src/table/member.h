// MemberSource: a zip member's bytes, inflated by the engine itself, as a
// byte source for the XML reader. The package finds where the member's data
// lies (its local header checked as zipfile checks it) and the engine reads
// from there: from a file it opens by path, reading with pread, or from a
// buffer the package holds in memory. Deflated data is inflated with
// ISA-L's igzip. A damaged member ends where zipfile ends it, and what it
// gave must have the CRC-32 the archive's directory declares, as zipfile
// checks it (see Inflater::fill).
//
// Inflating runs on a thread of its own while the reader parses what came
// before, through a ring of a few blocks: inflating a sheet costs about as
// much as parsing it, so the two together take little longer than either.
// A member too small to be worth a thread is inflated on the caller's. The
// thread never touches the interpreter, and it is stopped and joined
// whenever the source is dropped, however early.
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

class MemberSource final : public ByteSource {
public:
    // Takes the spec's file over (closing it with the source). A member
    // read by a thread that has nothing else to do (`threaded` false) is
    // inflated on it, as it asks.
    explicit MemberSource(const MemberSpec& spec, bool threaded = true);
    ~MemberSource() override;
    MemberSource(const MemberSource&) = delete;
    MemberSource& operator=(const MemberSource&) = delete;

    [[nodiscard]] Result<bool> more(InputBuffer& buf) override;

    // Members at least this large (compressed) are inflated on a thread.
    static constexpr uint64_t THREAD_FROM = 64 * 1024;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace vlm::table
