// The kernel's reply sink: Replies over the kernel's own send path.
#include "kernel/kernel_replies.hpp"

#include "kernel/kernel.hpp"

namespace gridlet {

void KernelReplies::send(const MessageText& json, MessageInfo info) { kernel_.send_json(json, info); }

Replies::Sequence KernelReplies::post(const GilHeld& gil, const MessageText& json, MessageInfo info) {
    return kernel_.post_from_worker(gil, json, info);
}

Replies::Sequence KernelReplies::post_all(const GilHeld& gil, std::initializer_list<Message> messages) {
    return kernel_.post_all_from_worker(gil, messages);
}

const std::string& KernelReplies::workbook_id_json() const { return kernel_.workbook_id_json(); }

void KernelReplies::restore_stream_hooks(const GilHeld& gil) { kernel_.restore_stream_hooks(gil); }

}  // namespace gridlet
