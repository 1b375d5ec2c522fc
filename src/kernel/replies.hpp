#pragma once
// Replies: what a message handler needs of the connection. Posting one message or several that
// leave together, the connection's workbook id, and putting the stream hooks back after a run of
// user code. The kernel provides the real one over its outbox; tests give handlers a fake that
// records the texts.
#include <initializer_list>
#include <string>

#include "kernel/gil.hpp"
#include "messaging/chunk_encoder.hpp"
#include "messaging/outbox.hpp"

namespace gridlet {

class Replies {
public:
    using Sequence = Outbox::Sequence;
    using Message = Outbox::Message;

    virtual ~Replies() = default;

    // From the listener (or any thread not running Python): never blocks.
    virtual void send(const MessageText& json, MessageInfo info) = 0;
    // From a worker running Python: waits (GIL released) while the socket is far behind. A text
    // in head/body/tail pieces is framed from the pieces without joining them.
    virtual Sequence post(const GilHeld&, const MessageText& json, MessageInfo info) = 0;
    // Several replies of one call, posted together (empty texts are skipped).
    virtual Sequence post_all(const GilHeld&, std::initializer_list<Message> messages) = 0;
    // The connection's workbook id as JSON text.
    virtual const std::string& workbook_id_json() const = 0;
    // Puts the stream hooks back into sys.stdout/sys.stderr if user code replaced them.
    virtual void restore_stream_hooks(const GilHeld&) = 0;
};

}  // namespace gridlet
