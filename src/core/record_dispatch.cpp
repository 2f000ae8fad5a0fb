// Record dispatch: every record the reader built is offered to the channels
// in a fixed order; each channel first applies its own filter lists.
#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "core/cvn_core.h"

namespace cvn {

void CCVNCore::SetChannelHandler(Channel which, ChannelHandler handler, ChannelRoom room) {
  channel_handlers_[static_cast<size_t>(which)] = std::move(handler);
  channel_rooms_[static_cast<size_t>(which)] = std::move(room);
}

bool CCVNCore::ChannelHasRoom(Channel which) {
  const ChannelRoom& room = channel_rooms_[static_cast<size_t>(which)];
  return !room || room(*this);
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

CCVNCore::Offers CCVNCore::DispatchRecord(const SEventRecord& record, const DispatchSet& set) {
  Offers offers;
  offers.fill(Offer::kTaken);
  const auto offer = [&](Channel which, Offer (CCVNCore::*process)(const SEventRecord&)) {
    const size_t i = static_cast<size_t>(which);
    if (set.channels[i]) offers[i] = (this->*process)(record);
  };
  offer(Channel::kSyslog, &CCVNCore::ProcessRecordForSyslog);
  offer(Channel::kDb, &CCVNCore::ProcessRecordForDb);
  offer(Channel::kEmail, &CCVNCore::ProcessRecordForEmail);
  if (set.popup) ProcessRecordForPopups(record);
  return offers;
}

namespace {

// The filter step: with the filter switch off every record goes on.
bool PassesChannelFilter(const SEventRecord& record, const CCVNSettings::VarBool_t& filter,
                         const CCVNSettings::VarFL_t& permit, const CCVNSettings::VarFL_t& deny) {
  return !filter.value || PassesFilters(record, permit, deny);
}

}  // namespace

Offer CCVNCore::HandToChannel(Channel which, const SEventRecord& record) {
  auto& handler = channel_handlers_[static_cast<size_t>(which)];
  return handler ? handler(*this, record) : Offer::kTaken;
}

Offer CCVNCore::ProcessRecordForSyslog(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Syslog_Filter, settings_.Syslog_PermitFilterList,
                           settings_.Syslog_DenyFilterList)) {
    ++metrics.Of(MetricChannel::kSyslog).filtered;
    return Offer::kTaken;
  }
  return HandToChannel(Channel::kSyslog, record);
}

Offer CCVNCore::ProcessRecordForDb(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.DB_Filter, settings_.DB_PermitFilterList,
                           settings_.DB_DenyFilterList)) {
    ++metrics.Of(MetricChannel::kDb).filtered;
    return Offer::kTaken;
  }
  return HandToChannel(Channel::kDb, record);
}

Offer CCVNCore::ProcessRecordForEmail(const SEventRecord& record) {
  if (!PassesChannelFilter(record, settings_.Email_Filter, settings_.Email_PermitFilterList,
                           settings_.Email_DenyFilterList)) {
    ++metrics.Of(MetricChannel::kEmail).filtered;
    return Offer::kTaken;
  }
  return HandToChannel(Channel::kEmail, record);
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
    ++metrics.Of(MetricChannel::kPopup).filtered;
    return;
  }
  // Nothing to build when no console listens; the result is of no use here.
  if (!CI_IsConnected()) return;
  // The Security log is for administrators' eyes only.
  if (EqualsNoCase(record.logName, u"Security") && !CI_ConsoleIsAdministrator()) return;
  if (!popup_sender_.Post(PopupRecord(record))) ++metrics.Of(MetricChannel::kPopup).dropped;
}

}  // namespace cvn
