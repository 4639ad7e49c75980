"""A real Prometheus scrapes belvor-bridge's metrics listener, with the shipped alert rules loaded
(arguments: harness.py, then the prometheus program). Natively only."""
import asyncio, json, os, subprocess, sys, tempfile, urllib.parse, urllib.request
PROMETHEUS = sys.argv.pop()
from harness import WAIT, Scanner, check_version, eventually, free_port, running_bridge

PORT = 47
MONITORING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../examples/monitoring")
RULES = os.path.join(MONITORING, "belvor-alerts.yml")


def api(base, path, **query):
    url = base + "/api/v1/" + path + ("?" + urllib.parse.urlencode(query) if query else "")
    return json.load(urllib.request.urlopen(url, timeout=WAIT))["data"]


async def main():
    check_version()
    scanner = Scanner(PORT)
    metrics_port, web_port = free_port(), free_port()
    async with running_bridge([PORT], "", extra=["--metrics-listen", "127.0.0.1:%d" % metrics_port]) as bridge:
        scanner.type([b"1", b"22", b"333"])
        with tempfile.TemporaryDirectory() as work:
            config = os.path.join(work, "prometheus.yml")
            with open(config, "w") as f:
                f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: [%s]\n"
                        "scrape_configs:\n  - job_name: till\n    static_configs: [{targets: ['127.0.0.1:%d']}]\n"
                        % (json.dumps(RULES), metrics_port))
            prometheus = subprocess.Popen([PROMETHEUS, "--config.file=" + config, "--storage.tsdb.path=" + work,
                                           "--web.listen-address=127.0.0.1:%d" % web_port],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                base = "http://127.0.0.1:%d" % web_port

                def codes():
                    try:
                        result = api(base, "query", query='belvor_codes_total{port="%d"}' % PORT)["result"]
                    except OSError:
                        return None
                    return result and result[0]["value"][1] == "3"
                eventually("three codes in Prometheus", codes, WAIT * 2, 0.2)
                up = api(base, "query", query='up{job="till"}')["result"]
                assert up[0]["value"][1] == "1", up
                groups = api(base, "rules")["groups"]
                rules = [r for g in groups for r in g["rules"]]
                assert len(rules) == 6 and all(r["health"] == "ok" for r in rules), rules
                firing = [r["name"] for r in rules if r["state"] != "inactive"]
                assert firing == [], firing  # an open scanner that just sent codes raises nothing
                # Every query of the shipped dashboard runs, on metrics that are there.
                with open(os.path.join(MONITORING, "belvor-dashboard.json")) as f:
                    panels = json.load(f)["panels"]
                for panel in panels:
                    expr = panel["targets"][0]["expr"].replace("$instance", ".*")
                    # (A rate needs two scrapes: given the time for them.)
                    eventually(panel["title"], lambda: api(base, "query", query=expr)["result"], WAIT * 2, 0.2)
            finally:
                prometheus.terminate()
                prometheus.wait(WAIT)
        bridge.stop()
    print("prometheus_test: all passed")


asyncio.run(main())
