#include "serial/VaPrst.h"

namespace serial {

namespace {
// Runs copy inside an update bracket that closes on every way out, so one
// notification results.
template <typename F>
void InUpdateBracket(TVaPersistent& p, F copy) {
  p.BeginUpdate();
  try {
    copy();
  } catch (...) {
    p.EndUpdate();
    throw;
  }
  p.EndUpdate();
}
}  // namespace

void TVaFlowControl::Assign(const framework::TPersistent* source) {
  const auto* src = dynamic_cast<const TVaFlowControl*>(source);
  if (src == nullptr) return TVaPersistent::Assign(source);
  InUpdateBracket(*this, [&] {
    SetOutCtsFlow(src->out_cts_flow_);
    SetOutDsrFlow(src->out_dsr_flow_);
    SetControlDtr(src->control_dtr_);
    SetControlRts(src->control_rts_);
    SetXonXoffOut(src->xon_xoff_out_);
    SetXonXoffIn(src->xon_xoff_in_);
    SetDsrSensitivity(src->dsr_sensitivity_);
    SetTxContinueOnXoff(src->tx_continue_on_xoff_);
  });
}

void TVaEventChars::SetChar(int index, char c) {
  if (index >= 1 && index <= 5) chars_[index - 1] = c;
  Changed();
}

void TVaEventChars::Assign(const framework::TPersistent* source) {
  const auto* src = dynamic_cast<const TVaEventChars*>(source);
  if (src == nullptr) return TVaPersistent::Assign(source);
  InUpdateBracket(*this, [&] {
    for (int i = 1; i <= 5; ++i) SetChar(i, src->chars_[i - 1]);
  });
}

void TVaBuffers::Assign(const framework::TPersistent* source) {
  const auto* src = dynamic_cast<const TVaBuffers*>(source);
  if (src == nullptr) return TVaPersistent::Assign(source);
  InUpdateBracket(*this, [&] {
    read_size_ = src->read_size_;
    read_timeout_ = src->read_timeout_;
    write_size_ = src->write_size_;
    write_timeout_ = src->write_timeout_;
    xon_limit_ = src->xon_limit_;
    xoff_limit_ = src->xoff_limit_;
  });
}

void TSettingsStore::Assign(const framework::TPersistent* source) {
  const auto* src = dynamic_cast<const TSettingsStore*>(source);
  if (src == nullptr) return;
  Key = src->Key;
  Location = src->Location;
  RegRoot = src->RegRoot;
  Section = src->Section;
}

}  // namespace serial
