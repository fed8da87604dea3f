// The port's settings objects: flow control, event characters, buffers, and
// the settings-store description.
#pragma once

#include <cstdint>
#include <string>

#include "serial/VaClasses.h"

namespace serial {

enum TVaControlDtr : std::uint8_t { dtrDisabled, dtrEnabled, dtrHandshake };
enum TVaControlRts : std::uint8_t { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

// 0 to 2147483647.
using TVaIntW = std::int32_t;

class TVaFlowControl : public TVaPersistent {
 public:
  std::string ClassName() const override { return "TVaFlowControl"; }
  void Assign(const framework::TPersistent* source) override;

  bool OutCtsFlow() const { return out_cts_flow_; }
  bool OutDsrFlow() const { return out_dsr_flow_; }
  TVaControlDtr ControlDtr() const { return control_dtr_; }
  TVaControlRts ControlRts() const { return control_rts_; }
  bool XonXoffOut() const { return xon_xoff_out_; }
  bool XonXoffIn() const { return xon_xoff_in_; }
  bool DsrSensitivity() const { return dsr_sensitivity_; }
  bool TxContinueOnXoff() const { return tx_continue_on_xoff_; }

  void SetOutCtsFlow(bool v) { Set(out_cts_flow_, v); }
  void SetOutDsrFlow(bool v) { Set(out_dsr_flow_, v); }
  void SetControlDtr(TVaControlDtr v) { Set(control_dtr_, v); }
  void SetControlRts(TVaControlRts v) { Set(control_rts_, v); }
  void SetXonXoffOut(bool v) { Set(xon_xoff_out_, v); }
  void SetXonXoffIn(bool v) { Set(xon_xoff_in_, v); }
  void SetDsrSensitivity(bool v) { Set(dsr_sensitivity_, v); }
  void SetTxContinueOnXoff(bool v) { Set(tx_continue_on_xoff_, v); }

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  bool out_cts_flow_ = false;
  bool out_dsr_flow_ = false;
  TVaControlDtr control_dtr_ = dtrDisabled;
  TVaControlRts control_rts_ = rtsDisabled;
  bool xon_xoff_out_ = false;
  bool xon_xoff_in_ = false;
  bool dsr_sensitivity_ = false;
  bool tx_continue_on_xoff_ = false;
};

class TVaEventChars : public TVaPersistent {
 public:
  std::string ClassName() const override { return "TVaEventChars"; }
  void Assign(const framework::TPersistent* source) override;

  char XonChar() const { return chars_[0]; }
  char XoffChar() const { return chars_[1]; }
  char ErrorChar() const { return chars_[2]; }
  char EventChar() const { return chars_[3]; }
  char EofChar() const { return chars_[4]; }

  void SetXonChar(char c) { SetChar(1, c); }
  void SetXoffChar(char c) { SetChar(2, c); }
  void SetErrorChar(char c) { SetChar(3, c); }
  void SetEventChar(char c) { SetChar(4, c); }
  void SetEofChar(char c) { SetChar(5, c); }

  // Index 1 to 5 in field order. Always notifies, also for an unchanged value.
  void SetChar(int index, char c);

 private:
  char chars_[5] = {0x11, 0x13, 0, 0, 0};
};

class TVaBuffers : public TVaPersistent {
 public:
  std::string ClassName() const override { return "TVaBuffers"; }
  void Assign(const framework::TPersistent* source) override;

  TVaIntW ReadSize() const { return read_size_; }
  TVaIntW WriteSize() const { return write_size_; }
  TVaIntW ReadTimeout() const { return read_timeout_; }
  TVaIntW WriteTimeout() const { return write_timeout_; }
  TVaIntW XonLimit() const { return xon_limit_; }
  TVaIntW XoffLimit() const { return xoff_limit_; }

  void SetReadSize(TVaIntW v) { Set(read_size_, v); }
  void SetWriteSize(TVaIntW v) { Set(write_size_, v); }
  // Take effect at the next read or write; no notification.
  void SetReadTimeout(TVaIntW v) { read_timeout_ = v; }
  void SetWriteTimeout(TVaIntW v) { write_timeout_ = v; }
  void SetXonLimit(TVaIntW v) { Set(xon_limit_, v); }
  void SetXoffLimit(TVaIntW v) { Set(xoff_limit_, v); }

 private:
  void Set(TVaIntW& field, TVaIntW value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  TVaIntW read_size_ = 4096;
  TVaIntW write_size_ = 2048;
  TVaIntW read_timeout_ = 1000;
  TVaIntW write_timeout_ = 1000;
  TVaIntW xon_limit_ = 1024;
  TVaIntW xoff_limit_ = 1024;
};

enum TSettingsLocation : std::uint8_t { slINIFile, slRegistry };
enum TRegRootKey : std::uint8_t { rrCURRENTUSER, rrLOCALMACHINE };

// Where a configuration would be kept; nothing in the system reads it.
class TSettingsStore : public framework::TPersistent {
 public:
  std::string ClassName() const override { return "TSettingsStore"; }
  // Copies from another store; any other source is ignored.
  void Assign(const framework::TPersistent* source) override;

  std::string Key;
  TSettingsLocation Location = slINIFile;
  TRegRootKey RegRoot = rrCURRENTUSER;
  std::string Section;
};

}  // namespace serial
