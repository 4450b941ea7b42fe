-- wrk_report.lua: makes wrk end its report with one machine-readable line for bench/load_run.sh:
--   OSTREL <requests> <duration us> <p50 us> <p99 us> <errors>
-- where errors adds up connect, read, write and timeout errors and non-2xx answers.
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("OSTREL %d %d %.0f %.0f %d\n", summary.requests, summary.duration,
                         latency:percentile(50), latency:percentile(99),
                         e.connect + e.read + e.write + e.status + e.timeout))
end
