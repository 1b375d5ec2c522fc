#pragma once
// KernelReplies: the reply sink the kernel gives its handlers, over the kernel's own send path.
#include "kernel/replies.hpp"

namespace gridlet {

class Kernel;

class KernelReplies final : public Replies {
public:
    explicit KernelReplies(Kernel& kernel) : kernel_(kernel) {}
    void send(const MessageText& json, MessageInfo info) override;
    Sequence post(const GilHeld&, const MessageText& json, MessageInfo info) override;
    Sequence post_all(const GilHeld&, std::initializer_list<Message> messages) override;
    const std::string& workbook_id_json() const override;
    void restore_stream_hooks(const GilHeld&) override;

private:
    Kernel& kernel_;
};

}  // namespace gridlet
