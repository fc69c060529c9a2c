#include "tessary/foundation/shared/SocketErrorText.h"

#include "tessary/foundation/internal/Socket.h"

#include <cerrno>
#include <iterator>

namespace {

struct ErrorEntry {
    int Code;
    const char* English;
    const char* Chinese;
};

// Codes outside Winsock's range (7, 380 to 394, 40006 to 40026) are never produced by a socket
// but share the table with the socket codes, so they are kept. 383 and 394 read the same in
// English and differ in Chinese.
constexpr ErrorEntry ErrorTable[] = {
    {7, "Out Of Memory", "内存不足"},
    {380, "Invalid Property Value", "属性值无效"},
    {383, "Get Not Supported", "属性是只读的"},
    {394, "Get Not Supported", "属性不可读"},
    {10004, "Op Canceled", "取消操作"},
    {10013, "Permission Denied", "禁止访问"},
    {10014, "Invalid Argument", "所请求的地址是广播地址，但未设置标记"},
    {10035, "Would Block", "套接字不成块，而指定操作将使之成块"},
    {10036, "In Progress", "制造块的Winsock操作在进行之中"},
    {10037, "Already Complete", "完成操作。未进行制作块的操作"},
    {10038, "Not Socket", "描述符不是套接字"},
    {10040, "Msg Too Big", "数据太大，不适于缓冲区的要求，因而被截断"},
    {10043, "Port Not Supported", "不支持指定的端口"},
    {10048, "Address In Use", "地址在使用中"},
    {10049, "Address Not Available", "来自本地机器的不可用地址"},
    {10050, "Network Subsystem Failed", "网络子系统失败"},
    {10051, "Network Unreachable", "当前不能从主机到达网络"},
    {10052, "Net Reset", "在设置SO_KEEPALIVE时连接超时"},
    {10053, "Connect Aborted", "由于超时或者其它失败而中止接连"},
    {10054, "Connection Reset", "通过远端重新设置连接"},
    {10055, "No Buffer Space", "没有可用的缓存空间"},
    {10056, "Already Connected", "已连接的套接字"},
    {10057, "Not Connected", "未接连套接字"},
    {10058, "Socked Shutdown", "已关闭套接字"},
    {10060, "Timedout", "套接字超时"},
    {10061, "Connection Refused", "强行拒绝连接"},
    {10093, "Not Initialized", "套接字没有初始化"},
    {11001, "Host Not Found", "授权应答：未找到主机"},
    {11002, "Host Not Found, Try Again", "非授权应答：未找到主机，重试"},
    {11003, "Non Recoverable Error", "不可恢复的错误"},
    {11004, "No Data", "无效名，对所请求的类型无数据记录"},
    {40006, "Bad State", "所请求的事务或请求本身的错误协议或者错误连接状态"},
    {40014, "Invalid Arg", "传递给函数的参数格式不确定，或者不在指定范围内"},
    {40017, "Success", "成功"},
    {40018, "Unsupported", "不支持的变量类型"},
    {40020, "Invalid Op", "在当前状态下的无效操作"},
    {40021, "Out Of Range", "参数越界"},
    {40026, "Wrong Protocol", "所请求的事务或请求本身的错误协议"},
};
static_assert(std::size(ErrorTable) == 38);

const ErrorEntry* Find(int code) {
    for (const auto& entry : ErrorTable) {
        if (entry.Code == code) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

int ToWinsockError(int posixError) {
    switch (posixError) {
    case EINTR:
        return WinsockError::Interrupted;
    case EACCES:
    case EPERM:
        return WinsockError::AccessDenied;
    case EFAULT:
        return WinsockError::BadAddress;
    case EINVAL:
        return WinsockError::InvalidArgument;
    case EMFILE:
    case ENFILE:
        return WinsockError::TooManySockets;
    case EAGAIN:
        return WinsockError::WouldBlock;
    case EINPROGRESS:
        return WinsockError::InProgress;
    case EALREADY:
        return WinsockError::AlreadyInProgress;
    case ENOTSOCK:
    case EBADF:
        return WinsockError::NotSocket;
    case EDESTADDRREQ:
        return WinsockError::DestinationRequired;
    case EMSGSIZE:
        return WinsockError::MessageTooBig;
    case EPROTOTYPE:
        return WinsockError::WrongProtocolType;
    case ENOPROTOOPT:
        return WinsockError::BadProtocolOption;
    case EPROTONOSUPPORT:
        return WinsockError::ProtocolNotSupported;
    case ESOCKTNOSUPPORT:
        return WinsockError::SocketTypeNotSupported;
    case EOPNOTSUPP:
        return WinsockError::OperationNotSupported;
    case EPFNOSUPPORT:
        return WinsockError::ProtocolFamilyNotSupported;
    case EAFNOSUPPORT:
        return WinsockError::AddressFamilyNotSupported;
    case EADDRINUSE:
        return WinsockError::AddressInUse;
    case EADDRNOTAVAIL:
        return WinsockError::AddressNotAvailable;
    case ENETDOWN:
        return WinsockError::NetworkDown;
    case ENETUNREACH:
        return WinsockError::NetworkUnreachable;
    case ENETRESET:
        return WinsockError::NetworkReset;
    case ECONNABORTED:
        return WinsockError::ConnectionAborted;
    case ECONNRESET:
        return WinsockError::ConnectionReset;
    case ENOBUFS:
    case ENOMEM:
        return WinsockError::NoBufferSpace;
    case EISCONN:
        return WinsockError::AlreadyConnected;
    case ENOTCONN:
        return WinsockError::NotConnected;
    case EPIPE:
    case ESHUTDOWN:
        return WinsockError::Shutdown;
    case ETIMEDOUT:
        return WinsockError::TimedOut;
    case ECONNREFUSED:
        return WinsockError::ConnectionRefused;
    case EHOSTDOWN:
        return WinsockError::HostDown;
    case EHOSTUNREACH:
        return WinsockError::HostUnreachable;
    default:
        return posixError;
    }
}

DString Socket::EnglishErrorText(int code) {
    if (const ErrorEntry* entry = Find(code)) {
        return DString(entry->English);
    }
    return DString::FromFormat("Socket error : %d", code);
}

DString Socket::ChineseErrorText(int code) {
    if (const ErrorEntry* entry = Find(code)) {
        return DString(entry->Chinese);
    }
    return DString::FromFormat("Socket error %d", code);
}

DString Socket::ErrorText(int code) {
    DString text = DString::From(code);
    text << " -- " << EnglishErrorText(code) << " (" << ChineseErrorText(code) << ")";
    return text;
}
