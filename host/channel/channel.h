// The two pipes between the host and one child: requests go down the input
// pipe, and a reader thread drains everything the child writes to the output
// pipe as it arrives, so the child never blocks on a full pipe and nothing is
// lost when it ends mid-line. Reads and writes take deadlines, so a child
// that stops writing or stops reading never holds the host. The CChannel owns
// both pipes and the thread; one thread drives it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

#include "host/process/error.h"
#include "host/process/handle.h"

namespace ScanHost {

using Milliseconds = std::chrono::milliseconds;

enum class ERead {
    Line,     // a line was taken
    Closed,   // the output ended and every line has been taken
    Timeout,  // no whole line arrived in time
};

enum class EWrite {
    Written,  // every byte is in the pipe
    Closed,   // the child's end is gone (it ended) or the input was closed
    Timeout,  // the child did not take the bytes in time; part of them may be in the pipe
};

class CChannel {
public:
    CChannel() = default;
    // Closes both pipes and stops the reader; never waits on the child.
    ~CChannel();
    CChannel(const CChannel &) = delete;
    CChannel &operator=(const CChannel &) = delete;

    // Creates both pipes and starts the reader. Returns false with the
    // failed step in *error when this channel is already open or a step
    // fails; nothing is left open then.
    bool Open(CError *error);

    // The child's ends: it reads its input from ChildInput and writes to
    // ChildOutput. Neither is inheritable; hand them to the child's launch,
    // then call CloseChildEnds.
    void *ChildInput() const { return m_childInput.Get(); }
    void *ChildOutput() const { return m_childOutput.Get(); }
    // Closes this process's copies of the child's ends once the child has
    // them (or failed to start), so that each pipe reports its end as soon
    // as the child lets go of it.
    void CloseChildEnds();

    // Writes bytes to the input pipe, waiting at most timeout for the child
    // to make room. After Timeout the input is out of step: end the child.
    EWrite Write(std::string_view bytes, Milliseconds timeout);

    // Takes the next line of output, without its line feed, into *line. A
    // last line that the output ends without a line feed is a line too.
    ERead ReadLine(std::string *line, Milliseconds timeout);

    // Closes the input pipe: the child's next read fails.
    void CloseInput();
    // Stops listening: the reader stops and the output pipe closes, so the
    // child's writes fail from then on. What arrived before stays readable.
    void CloseOutput();

private:
    static unsigned long __stdcall ReaderThread(void *self);
    void Drain();

    CHandle m_input;        // host's end of the input pipe (overlapped)
    CHandle m_output;       // host's end of the output pipe (overlapped); the reader's
    CHandle m_childInput;
    CHandle m_childOutput;
    CHandle m_writeDone;    // event of the write in progress
    CHandle m_stopReader;   // event that tells the reader to stop
    CHandle m_reader;

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::string m_buffer;   // arrived, not yet taken
    bool m_ended = true;    // no reader runs: nothing more arrives
};

}  // namespace ScanHost
