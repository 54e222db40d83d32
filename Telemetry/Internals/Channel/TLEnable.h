#pragma once

// Something that can be switched on and off, optionally dropping its data when switched off.
class TLEnable {
 public:
  virtual ~TLEnable() = default;
  virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};
