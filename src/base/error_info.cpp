#include "base/error_info.h"

namespace quorvia {

// English beside the host's own (Japanese) messages, for people reading
// quorvia-nm's report. The extension's client module (clients/js) has its
// own, shorter descriptions for its DeviceInfoError.
const char* errorExplanation(std::int32_t code) {
  switch (code) {
    case errc::kUnreadableJson:
      return "the request is not readable JSON (or nests deeper than 100 levels, or holds a number too large "
             "for a double)";
    case errc::kInvalidRequest:
      return "command, version or key is missing, of the wrong type, empty or 0, or the request is not a JSON "
             "object (a non-ASCII key that is not valid in the host user's encoding also gives 2)";
    case errc::kUnknownCommand:
      return "the host does not know the command; it knows only DeviceInfo";
    case errc::kVersionTooNew:
      return "the request's version is above 10000, the highest the host accepts";
    case errc::kComInit:
      return "COM could not be initialised (Windows)";
    case errc::kCipherOpen:
      return "encrypting the answer failed: the AES cipher could not be opened";
    case errc::kCipherObjectLength:
      return "encrypting the answer failed: the size of the cipher's key object could not be read";
    case errc::kCipherBlockLength:
      return "encrypting the answer failed: the cipher's block length could not be read";
    case errc::kCipherChainingMode:
      return "encrypting the answer failed: the cipher could not be set to CBC";
    case errc::kCipherKey:
      return "the key was refused: it must be 16, 24 or 32 bytes in the user's encoding (AES-128, -192 or -256)";
    case errc::kCipherSize:
      return "encrypting the answer failed: the size of the cipher text could not be computed";
    case errc::kCipherEncrypt:
      return "encrypting the answer failed: the document could not be encrypted";
    case 23:
    case 25:
    case 28:
    case 29:
    case 30:
    case 32:
    case 34:
      return "encrypting the answer failed (a code this host never raises)";
    case errc::kHostName:
      return "the computer name could not be read";
    case errc::kAdapters:
      return "the network adapters could not be listed";
    case 202:
      return "the network adapters could not be read (a code this host never raises)";
    case errc::kWmiSecurity:
      return "the management data (maker, model, system) could not be read: COM security could not be set up";
    case errc::kWmiLocator:
      return "the management data (maker, model, system) could not be read: no WMI locator";
    case errc::kWmiConnect:
      return "the management data (maker, model, system) could not be read: no connection to WMI";
    case errc::kWmiProxyBlanket:
      return "the management data (maker, model, system) could not be read: the proxy blanket could not be set";
    case errc::kWmiQuery:
      return "the management data could not be read: the query for the maker and model failed";
    case errc::kWmiLaterQuery:
      return "the management data could not be read: the query for the system or the hardware UUID failed";
    case errc::kProcessorKey:
      return "the processor name could not be read: its registry key (Windows) or /proc/cpuinfo (Linux) could "
             "not be opened";
    case errc::kProcessorValue:
      return "the processor name could not be read: the key holds no name";
    case errc::kMemory:
      return "the memory size could not be read";
    case errc::kStorage:
      return "the disk capacity could not be read";
    case errc::kUserName:
      return "the user name could not be read";
    default:
      return "not a code this host knows";
  }
}

}  // namespace quorvia
