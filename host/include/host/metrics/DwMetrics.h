// Figures a server shows to monitoring systems: counters and histograms that
// serving threads update with atomics alone, and the text exposition format
// in which a scrape reads them (and figures computed at scrape time).
#ifndef HOST_DWMETRICS_H
#define HOST_DWMETRICS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class DwCounter {
 public:
  void add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// Counts observations into buckets of fixed upper bounds (ascending; the last
// bucket, +Inf, is implied) and keeps their sum.
class DwHistogram {
 public:
  struct Snapshot {
    std::vector<double> bounds;
    std::vector<uint64_t> cumulative;  // one per bound, then +Inf (= count)
    double sum = 0;
  };

  explicit DwHistogram(std::vector<double> bounds);
  DwHistogram(const DwHistogram&) = delete;
  DwHistogram& operator=(const DwHistogram&) = delete;

  void observe(double value);
  // Buckets read one by one: a scrape during observations may see one of
  // them a step ahead of another, never a count going down.
  Snapshot snapshot() const;

 private:
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> counts_;  // per bucket, +Inf last
  std::atomic<double> sum_{0};
};

// Bucket bounds in seconds for request latencies, and for steps that take
// seconds to hours.
const std::vector<double>& dwLatencyBuckets();
const std::vector<double>& dwDurationBuckets();

using DwLabels = std::vector<std::pair<std::string, std::string>>;

// Builds a scrape's answer: each family's HELP and TYPE lines, then its
// samples.  Label values are escaped, and bytes that are not UTF-8 become
// U+FFFD, so that any stored text can be a label.
class DwMetricsText {
 public:
  static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

  // `type`: "counter", "gauge" or "histogram".
  void family(const std::string& name, const char* type, const char* help);
  void sample(const std::string& name, const DwLabels& labels, double value);
  // The _bucket, _sum and _count samples of a histogram family.
  void histogram(const std::string& name, const DwLabels& labels, const DwHistogram::Snapshot& h);

  const std::string& text() const { return text_; }

  static std::string escapeLabelValue(const std::string& value);

 private:
  void line(const std::string& name, const DwLabels& labels, const std::string& value);

  std::string text_;
};

#endif  // HOST_DWMETRICS_H
