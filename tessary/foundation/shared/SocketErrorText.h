#pragma once

// Winsock error numbers, the vocabulary of every socket error text and event.
namespace WinsockError {
constexpr int Interrupted = 10004;
constexpr int AccessDenied = 10013;
constexpr int BadAddress = 10014;
constexpr int InvalidArgument = 10022;
constexpr int TooManySockets = 10024;
constexpr int WouldBlock = 10035;
constexpr int InProgress = 10036;
constexpr int AlreadyInProgress = 10037;
constexpr int NotSocket = 10038;
constexpr int DestinationRequired = 10039;
constexpr int MessageTooBig = 10040;
constexpr int WrongProtocolType = 10041;
constexpr int BadProtocolOption = 10042;
constexpr int ProtocolNotSupported = 10043;
constexpr int SocketTypeNotSupported = 10044;
constexpr int OperationNotSupported = 10045;
constexpr int ProtocolFamilyNotSupported = 10046;
constexpr int AddressFamilyNotSupported = 10047;
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051;
constexpr int NetworkReset = 10052;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBufferSpace = 10055;
constexpr int AlreadyConnected = 10056;
constexpr int NotConnected = 10057;
constexpr int Shutdown = 10058;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostDown = 10064;
constexpr int HostUnreachable = 10065;
} // namespace WinsockError

// The Winsock number with the same meaning as a POSIX errno value; a value without a Winsock
// counterpart is returned unchanged (its text then falls back to "Socket error : <n>").
int ToWinsockError(int posixError);
