#include "tools/DemoReceiver.h"

#include <cstring>

namespace tool {

namespace {

using Handler = C11DelegateHandler<EventArgs_BUSMessage>;

} // namespace

uint64_t Checksum(const unsigned char* data, size_t length) {
    // Four independent lanes, so the multiplications overlap and a BLOB is summed at memory
    // speed rather than at the latency of one long chain.
    uint64_t lanes[4] = {0xcbf29ce484222325ull ^ length, 0x84222325cbf29ce4ull,
                         0x9e3779b97f4a7c15ull, 0xc2b2ae3d27d4eb4full};
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word = 0;
            std::memcpy(&word, data + i + 8 * static_cast<size_t>(lane), 8);
            lanes[lane] = (lanes[lane] ^ word) * 0x100000001b3ull;
            lanes[lane] ^= lanes[lane] >> 29;
        }
    }
    uint64_t hash = lanes[0];
    for (int lane = 1; lane < 4; ++lane) {
        hash = (hash ^ lanes[lane]) * 0x100000001b3ull;
    }
    for (; i < length; ++i) {
        hash = (hash ^ data[i]) * 0x100000001b3ull;
    }
    return hash;
}

DemoReceiver::DemoReceiver(const BusOptions& bus, const std::string& id) : BusReceiver(bus) {
    SetSourceID(id.c_str());
    ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>([this](const void*, EventArgs_Int* e) {
        {
            std::lock_guard lock(m_Mutex);
            m_Online.insert(e != nullptr ? e->Value : 0);
        }
        m_Changed.notify_all();
    }));

    MessageEvent.Add(DemoCode::Echo, Handler([](const void*, EventArgs_BUSMessage* e) {
                         if (e->Message.IsEmpty() && !e->WMessage.IsEmpty()) {
                             WString reply(u"pong: ");
                             reply += e->WMessage;
                             e->WReplyText = reply;
                         } else {
                             e->ReplyText = DString("pong: " + e->Message.str());
                         }
                     }));
    MessageEvent.Add(DemoCode::Notice, Handler([this](const void*, EventArgs_BUSMessage* e) {
                         {
                             std::lock_guard lock(m_Mutex);
                             m_HasNotice = true;
                             m_Notice = e->Message.str();
                         }
                         m_Changed.notify_all();
                     }));
    MessageEvent.Add(DemoCode::Refuse, Handler([](const void*, EventArgs_BUSMessage* e) {
                         e->ResultCode = DemoCode::RefuseCode;
                         e->ReplyText = "refused on purpose";
                     }));
    BLOBEvent.Add(DemoCode::Digest, Handler([](const void*, EventArgs_BUSMessage* m) {
                      auto* e = static_cast<EventArgs_BUSBLOB*>(m);
                      const uint64_t sum =
                          Checksum(e->BLOB.GetData(), static_cast<size_t>(e->BLOB.Length()));
                      std::memcpy(e->ReplyBLOB.Allocate(sizeof sum), &sum, sizeof sum);
                      e->ReplyText =
                          DString("received " + std::to_string(e->BLOB.Length()) + " bytes");
                  }));
}

DemoReceiver::~DemoReceiver() {
    StopWait();
}

int DemoReceiver::WaitOnline(int count, std::chrono::milliseconds bound) {
    std::unique_lock lock(m_Mutex);
    m_Changed.wait_for(lock, bound, [&] { return static_cast<int>(m_Online.size()) >= count; });
    return static_cast<int>(m_Online.size());
}

bool DemoReceiver::WaitNotice(std::string& text, std::chrono::milliseconds bound) {
    std::unique_lock lock(m_Mutex);
    if (!m_Changed.wait_for(lock, bound, [&] { return m_HasNotice; })) {
        return false;
    }
    text = m_Notice;
    return true;
}

} // namespace tool
