#include "TelemetryCrashes/Model/TLBinary.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kBinaryId = "id";
constexpr const char* kStartAddress = "startAddress";
constexpr const char* kEndAddress = "endAddress";
constexpr const char* kBinaryName = "name";
constexpr const char* kPath = "path";
constexpr const char* kBinaryArchitecture = "architecture";
constexpr const char* kBinaryPrimaryArchitectureId = "primaryArchitectureId";
constexpr const char* kBinaryArchitectureVariantId = "architectureVariantId";
}  // namespace

std::shared_ptr<TLBinary> TLBinary::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto binary = init();
  binary->binaryId_ = coder.decodeStringForKey(kBinaryId);
  binary->startAddress_ = coder.decodeStringForKey(kStartAddress);
  binary->endAddress_ = coder.decodeStringForKey(kEndAddress);
  binary->name_ = coder.decodeStringForKey(kBinaryName);
  binary->path_ = coder.decodeStringForKey(kPath);
  binary->architecture_ = coder.decodeStringForKey(kBinaryArchitecture);
  binary->primaryArchitectureId_ = TLDecodeInteger(coder, kBinaryPrimaryArchitectureId);
  binary->architectureVariantId_ = TLDecodeInteger(coder, kBinaryArchitectureVariantId);
  return binary;
}

nlohmann::ordered_json TLBinary::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (binaryId_) dictionary[kBinaryId] = *binaryId_;
  if (startAddress_) dictionary[kStartAddress] = *startAddress_;
  if (endAddress_) dictionary[kEndAddress] = *endAddress_;
  if (name_) dictionary[kBinaryName] = *name_;
  if (path_) dictionary[kPath] = *path_;
  if (architecture_) dictionary[kBinaryArchitecture] = *architecture_;
  if (primaryArchitectureId_) dictionary[kBinaryPrimaryArchitectureId] = *primaryArchitectureId_;
  if (architectureVariantId_) dictionary[kBinaryArchitectureVariantId] = *architectureVariantId_;
  return dictionary;
}

bool TLBinary::isValid() const { return binaryId_ && startAddress_ && endAddress_ && name_ && path_; }

bool TLBinary::isEqual(const TLBinary& other) const {
  return binaryId_ == other.binaryId_ && startAddress_ == other.startAddress_ &&
         endAddress_ == other.endAddress_ && name_ == other.name_ && path_ == other.path_ &&
         architecture_ == other.architecture_ && primaryArchitectureId_ == other.primaryArchitectureId_ &&
         architectureVariantId_ == other.architectureVariantId_;
}

void TLBinary::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(binaryId_, kBinaryId);
  coder.encodeObject(startAddress_, kStartAddress);
  coder.encodeObject(endAddress_, kEndAddress);
  coder.encodeObject(name_, kBinaryName);
  coder.encodeObject(path_, kPath);
  coder.encodeObject(architecture_, kBinaryArchitecture);
  coder.encodeObject(primaryArchitectureId_, kBinaryPrimaryArchitectureId);
  coder.encodeObject(architectureVariantId_, kBinaryArchitectureVariantId);
}
