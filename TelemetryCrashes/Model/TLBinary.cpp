#include "TelemetryCrashes/Model/TLBinary.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kId = "id";
constexpr const char* kStartAddress = "startAddress";
constexpr const char* kEndAddress = "endAddress";
constexpr const char* kName = "name";
constexpr const char* kPath = "path";
constexpr const char* kArchitecture = "architecture";
constexpr const char* kPrimaryArchitectureId = "primaryArchitectureId";
constexpr const char* kArchitectureVariantId = "architectureVariantId";
}  // namespace

std::shared_ptr<TLBinary> TLBinary::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto binary = init();
  binary->binaryId_ = coder.decodeStringForKey(kId);
  binary->startAddress_ = coder.decodeStringForKey(kStartAddress);
  binary->endAddress_ = coder.decodeStringForKey(kEndAddress);
  binary->name_ = coder.decodeStringForKey(kName);
  binary->path_ = coder.decodeStringForKey(kPath);
  binary->architecture_ = coder.decodeStringForKey(kArchitecture);
  binary->primaryArchitectureId_ = TLDecodeInteger(coder, kPrimaryArchitectureId);
  binary->architectureVariantId_ = TLDecodeInteger(coder, kArchitectureVariantId);
  return binary;
}

nlohmann::ordered_json TLBinary::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (binaryId_) dictionary[kId] = *binaryId_;
  if (startAddress_) dictionary[kStartAddress] = *startAddress_;
  if (endAddress_) dictionary[kEndAddress] = *endAddress_;
  if (name_) dictionary[kName] = *name_;
  if (path_) dictionary[kPath] = *path_;
  if (architecture_) dictionary[kArchitecture] = *architecture_;
  if (primaryArchitectureId_) dictionary[kPrimaryArchitectureId] = *primaryArchitectureId_;
  if (architectureVariantId_) dictionary[kArchitectureVariantId] = *architectureVariantId_;
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
  coder.encodeObject(binaryId_, kId);
  coder.encodeObject(startAddress_, kStartAddress);
  coder.encodeObject(endAddress_, kEndAddress);
  coder.encodeObject(name_, kName);
  coder.encodeObject(path_, kPath);
  coder.encodeObject(architecture_, kArchitecture);
  coder.encodeObject(primaryArchitectureId_, kPrimaryArchitectureId);
  coder.encodeObject(architectureVariantId_, kArchitectureVariantId);
}
