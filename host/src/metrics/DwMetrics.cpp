#include "host/metrics/DwMetrics.h"

#include <cmath>
#include <cstdio>

#include "host/base/FXString.h"

DwHistogram::DwHistogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(new std::atomic<uint64_t>[bounds_.size() + 1]) {
  for (size_t i = 0; i <= bounds_.size(); ++i) counts_[i].store(0, std::memory_order_relaxed);
}

void DwHistogram::observe(double value) {
  size_t i = 0;
  while (i < bounds_.size() && value > bounds_[i]) ++i;
  counts_[i].fetch_add(1, std::memory_order_relaxed);
  double sum = sum_.load(std::memory_order_relaxed);
  while (!sum_.compare_exchange_weak(sum, sum + value, std::memory_order_relaxed)) {
  }
}

DwHistogram::Snapshot DwHistogram::snapshot() const {
  Snapshot s;
  s.bounds = bounds_;
  uint64_t total = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    total += counts_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(total);
  }
  s.sum = sum_.load(std::memory_order_relaxed);
  return s;
}

const std::vector<double>& dwLatencyBuckets() {
  static const std::vector<double> b = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                        0.1,    0.25,  0.5,    1,     2.5,  5,     10};
  return b;
}

const std::vector<double>& dwDurationBuckets() {
  static const std::vector<double> b = {1, 5, 15, 30, 60, 120, 300, 600, 1800, 3600, 7200};
  return b;
}

namespace {

std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  if (value == std::floor(value) && std::fabs(value) < 1e15)
    std::snprintf(text, sizeof text, "%.0f", value);
  else
    std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

}  // namespace

std::string DwMetricsText::escapeLabelValue(const std::string& value) {
  std::string out;
  for (char c : FXString::ValidUtf8(value)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

void DwMetricsText::family(const std::string& name, const char* type, const char* help) {
  text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void DwMetricsText::line(const std::string& name, const DwLabels& labels,
                         const std::string& value) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_ += labels[i].first + "=\"" + escapeLabelValue(labels[i].second) + "\"";
    }
    text_ += '}';
  }
  text_ += ' ' + value + '\n';
}

void DwMetricsText::sample(const std::string& name, const DwLabels& labels, double value) {
  line(name, labels, number(value));
}

void DwMetricsText::histogram(const std::string& name, const DwLabels& labels,
                              const DwHistogram::Snapshot& h) {
  DwLabels withLe = labels;
  withLe.emplace_back("le", "");
  for (size_t i = 0; i < h.cumulative.size(); ++i) {
    withLe.back().second = i < h.bounds.size() ? number(h.bounds[i]) : "+Inf";
    line(name + "_bucket", withLe, std::to_string(h.cumulative[i]));
  }
  line(name + "_sum", labels, number(h.sum));
  line(name + "_count", labels, std::to_string(h.cumulative.empty() ? 0 : h.cumulative.back()));
}
