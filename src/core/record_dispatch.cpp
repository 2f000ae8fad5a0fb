// Record dispatch: every record the reader built is offered to the channels
// in a fixed order; each channel first applies its own filter lists.
#include "control/ctrl_protocol.h"
#include "core/cvn_core.h"

namespace cvn {

void CCVNCore::SetChannelHandler(Channel which, ChannelHandler handler) {
  channel_handlers_[static_cast<size_t>(which)] = std::move(handler);
}

const DeliveryProgress& CCVNCore::ChannelProgress(Channel which) const {
  switch (which) {
    case Channel::kDb: return db_progress;
    case Channel::kEmail: return email_progress;
    default: return syslog_queue.Progress();
  }
}

CCVNCore::ChannelSwitches CCVNCore::ReadChannelSwitches() {
  ChannelSwitches switches;
  switches.syslog = settings_.Syslog_Forward.value;
  switches.db = settings_.DB_Forward.value;
  switches.email = settings_.Email_Forward.value;
  switches.popup = settings_.Popup_Show.value;
  return switches;
}

bool CCVNCore::DispatchRecord(const SEventRecord& record, const ChannelSwitches& switches) {
  if (switches.syslog && !ProcessRecordForSyslog(record)) return false;
  if (switches.db && !ProcessRecordForDb(record)) return false;
  if (switches.email && !ProcessRecordForEmail(record)) return false;
  if (switches.popup) ProcessRecordForPopups(record);
  return true;
}

namespace {

// The filter step: with the filter switch off every record goes on.
bool PassesChannelFilter(const SEventRecord& record, const CCVNSettings::VarBool_t& filter,
                         const CCVNSettings::VarFL_t& permit, const CCVNSettings::VarFL_t& deny) {
  return !filter.value || PassesFilters(record, permit, deny);
}

}  // namespace

bool CCVNCore::HandToChannel(Channel which, const SEventRecord& record) {
  auto& handler = channel_handlers_[static_cast<size_t>(which)];
  return !handler || handler(*this, record);
}

bool CCVNCore::ProcessRecordForSyslog(const SEventRecord& record) {
  return !PassesChannelFilter(record, settings_.Syslog_Filter, settings_.Syslog_PermitFilterList,
                              settings_.Syslog_DenyFilterList) ||
         HandToChannel(Channel::kSyslog, record);
}

bool CCVNCore::ProcessRecordForDb(const SEventRecord& record) {
  return !PassesChannelFilter(record, settings_.DB_Filter, settings_.DB_PermitFilterList,
                              settings_.DB_DenyFilterList) ||
         HandToChannel(Channel::kDb, record);
}

bool CCVNCore::ProcessRecordForEmail(const SEventRecord& record) {
  return !PassesChannelFilter(record, settings_.Email_Filter, settings_.Email_PermitFilterList,
                              settings_.Email_DenyFilterList) ||
         HandToChannel(Channel::kEmail, record);
}

namespace {

// A record as the console receives it: its texts, numbers and a format tag.
control::CSTCtrlMessage PopupRecord(const SEventRecord& record) {
  control::CSTCtrlMessage values;
  values.ValueToStack(std::u16string_view(record.logName));
  values.ValueToStack(std::u16string_view(record.categoryText));
  values.ValueToStack(std::u16string_view(record.description));
  values.ValueToStack(std::u16string_view(record.user));
  values.ValueToStack(std::u16string_view(record.computer));
  values.ValueToStack(std::u16string_view(record.source));
  values.ValueToStack(record.category);
  values.ValueToStack(record.eventType);
  values.ValueToStack(record.eventId);
  values.ValueToStack(record.timeWritten);
  values.ValueToStack(record.timeGenerated);
  values.ValueToStack(record.recordNumber);
  values.ValueToStack(control::kPopupRecordTag);
  return values;
}

}  // namespace

void CCVNCore::ProcessRecordForPopups(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Popup_Filter, settings_.Popup_PermitFilterList,
                           settings_.Popup_DenyFilterList)) {
    return;
  }
  // Nothing to build when no console listens; the result is of no use here.
  if (!CI_IsConnected()) return;
  popup_sender_.Post(PopupRecord(record));
}

}  // namespace cvn
