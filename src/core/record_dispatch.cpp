// Record dispatch: every record the reader built is offered to the channels
// in a fixed order; each channel first applies its own filter lists.
#include "core/cvn_core.h"

namespace cvn {

void CCVNCore::SetChannelHandler(Channel which, ChannelHandler handler) {
  channel_handlers_[static_cast<size_t>(which)] = std::move(handler);
}

CCVNCore::ChannelSwitches CCVNCore::ReadChannelSwitches() {
  ChannelSwitches switches;
  switches.syslog = settings_.Syslog_Forward.value;
  switches.db = settings_.DB_Forward.value;
  switches.email = settings_.Email_Forward.value;
  switches.popup = settings_.Popup_Show.value;
  return switches;
}

void CCVNCore::DispatchRecord(const SEventRecord& record, const ChannelSwitches& switches) {
  if (switches.syslog) ProcessRecordForSyslog(record);
  if (switches.db) ProcessRecordForDb(record);
  if (switches.email) ProcessRecordForEmail(record);
  if (switches.popup) ProcessRecordForPopups(record);
}

namespace {

// The filter step: with the filter switch off every record goes on.
bool PassesChannelFilter(const SEventRecord& record, const CCVNSettings::VarBool_t& filter,
                         const CCVNSettings::VarFL_t& permit, const CCVNSettings::VarFL_t& deny) {
  return !filter.value || PassesFilters(record, permit, deny);
}

}  // namespace

void CCVNCore::ProcessRecordForSyslog(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Syslog_Filter, settings_.Syslog_PermitFilterList,
                           settings_.Syslog_DenyFilterList)) {
    return;
  }
  if (auto& handler = channel_handlers_[static_cast<size_t>(Channel::kSyslog)])
    handler(*this, record);
}

void CCVNCore::ProcessRecordForDb(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.DB_Filter, settings_.DB_PermitFilterList,
                           settings_.DB_DenyFilterList)) {
    return;
  }
  if (auto& handler = channel_handlers_[static_cast<size_t>(Channel::kDb)]) handler(*this, record);
}

void CCVNCore::ProcessRecordForEmail(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Email_Filter, settings_.Email_PermitFilterList,
                           settings_.Email_DenyFilterList)) {
    return;
  }
  if (auto& handler = channel_handlers_[static_cast<size_t>(Channel::kEmail)])
    handler(*this, record);
}

void CCVNCore::ProcessRecordForPopups(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Popup_Filter, settings_.Popup_PermitFilterList,
                           settings_.Popup_DenyFilterList)) {
    return;
  }
  // The pop-up record goes to a connected console as property 6.
}

}  // namespace cvn
