// The shop's day in figures: GET /v1/summary sums the receipts' stored totals in SQL, per
// register and in all, for whole local days of the service's own time zone.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "service/config.h"
#include "service/http.h"
#include "service/store.h"

namespace cassardd {

// A span of the shop's days, from and to (inclusive) as YYYY-MM-DD, as the instants (RFC
// 3339 UTC, the store's format) of the first day's local midnight and of the midnight after
// the last day.
struct ShopDays {
  std::string from, to;
  std::string fromAt, toAt;
};

// The span for the dates given (either may be empty: one day, today by default); nothing
// when a date is no calendar date. Local time: the service's TZ, else /etc/localtime.
std::optional<ShopDays> shopDays(const std::string& from, const std::string& to);

// The figures of the receipts created within `days`, of one register or of all.
nlohmann::json summarize(Store& store, const Config& cfg, const ShopDays& days,
                         const std::optional<std::string>& reg);

// GET /v1/summary?from=&to=&register=
void addSummaryRoute(http::Server& server, const Config& cfg, Store& store);

}  // namespace cassardd
