#!/usr/bin/python3
"""Checks the dashboard and the alert rules in docs/monitoring against each
other's formats and against a real metrics page of shardex.

  check_monitoring.py dashboard DASHBOARD
      the dashboard as Grafana imports it: its data source is the input an
      import asks for (and the hidden variable of that name when provisioned
      from a file), every query selects the job and instance variables, and
      every panel but text has a query
  check_monitoring.py rules RULES TESTS RUNBOOK
      every alert has unit tests where it fires and where it does not, a
      severity, a summary, a description and a runbook_url to its section of
      RUNBOOK; no rule names a job
  check_monitoring.py promql-rules DASHBOARD OUT
      writes every query of the dashboard, with Grafana's variables replaced,
      as a recording rule into OUT, for promtool to parse
  check_monitoring.py families PAGE DASHBOARD RULES
      every metric family a query names is on PAGE (a scrape of /metrics),
      with the labels the query selects, groups by or shows

Prints one line per problem and exits 1 when there is any.
"""
import json
import re
import sys

import yaml

METRIC = re.compile(r"\b((?:shardex|process)_[a-zA-Z0-9_]+)")
SELECTOR = re.compile(r"\b((?:shardex|process)_[a-zA-Z0-9_]+)\s*\{([^}]*)\}")
MATCHER = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)\s*(=~|!~|!=|=)\s*"((?:[^"\\]|\\.)*)"')
GROUPING = re.compile(r"\b(?:by|without|on|ignoring)\s*\(([^)]*)\)")
LEGEND_LABEL = re.compile(r"\{\{\s*([a-zA-Z_][a-zA-Z0-9_]*)\s*\}\}")
RULE_LABEL = re.compile(r"\$labels\.([a-zA-Z_][a-zA-Z0-9_]*)")
GRAFANA_VARIABLE = re.compile(r"\$(?:\{([a-zA-Z0-9_]+)(?::[^}]*)?\}|([a-zA-Z0-9_]+))")
# Labels the scrape adds to every series; le is every histogram bucket's.
TARGET_LABELS = {"instance", "job"}
# Grafana's own variables in a query, and what stands in for them when promtool parses it.
GRAFANA_BUILTINS = {"__rate_interval": "5m", "__interval": "1m", "__range": "1h", "__range_s": "3600"}

problems = []


def problem(text):
    if text not in problems:
        problems.append(text)
        print("FAIL: " + text)


# --- the page -----------------------------------------------------------------

def read_page(path):
    """{family: {"type": T, "labels": {label: set of values}}} from a text-format page."""
    families = {}
    samples = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("# TYPE "):
                _, _, name, kind = line.split(" ", 3)
                families[name] = {"type": kind, "labels": {}}
            elif line and not line.startswith("#"):
                samples.append(line)
    for line in samples:
        m = re.match(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})?\s", line)
        if not m:
            problem(f"page: a sample line that does not parse: {line}")
            continue
        family = family_of(m.group(1), families)
        if family is None:
            problem(f"page: a sample without a TYPE line: {line}")
            continue
        for label, _, value in MATCHER.findall(m.group(3) or ""):
            families[family]["labels"].setdefault(label, set()).add(value)
    return families


def family_of(name, families):
    """The family a series name belongs to: itself, or the histogram or summary of a _bucket, _sum, _count."""
    if name in families:
        return name
    for suffix, kinds in (("_bucket", {"histogram"}), ("_sum", {"histogram", "summary"}),
                          ("_count", {"histogram", "summary"})):
        if name.endswith(suffix):
            base = name[: -len(suffix)]
            if base in families and families[base]["type"] in kinds:
                return base
    return None


# --- what the documents query -------------------------------------------------

def dashboard_queries(dashboard):
    """(where, expr, legend) for every query: panel targets, variables, annotations."""
    out = []
    for panel in all_panels(dashboard):
        for target in panel.get("targets", []):
            if "expr" in target:
                out.append((f'panel "{panel.get("title")}" {target.get("refId")}', target["expr"],
                            target.get("legendFormat", "")))
    for var in dashboard.get("templating", {}).get("list", []):
        if var.get("type") == "query":
            query = var.get("query")
            text = query.get("query", "") if isinstance(query, dict) else query or ""
            out.append((f'variable "{var.get("name")}"', label_values_metric(text), ""))
    for annotation in dashboard.get("annotations", {}).get("list", []):
        if "expr" in annotation:
            out.append((f'annotation "{annotation.get("name")}"', annotation["expr"], ""))
    return out


def label_values_metric(text):
    """label_values(SELECTOR, LABEL) -> SELECTOR with LABEL=~".+": the series and the label it reads."""
    m = re.fullmatch(r"\s*label_values\(\s*([a-zA-Z_:][a-zA-Z0-9_:]*)\s*(?:\{(.*)\})?\s*,"
                     r"\s*([a-zA-Z_][a-zA-Z0-9_]*)\s*\)\s*", text)
    if not m:
        return text
    matchers = [x for x in ((m.group(2) or "").strip(), f'{m.group(3)}=~".+"') if x]
    return f'{m.group(1)}{{{", ".join(matchers)}}}'


def all_panels(dashboard):
    for panel in dashboard.get("panels", []):
        yield panel
        yield from panel.get("panels", [])  # inside a collapsed row


def rule_queries(rules):
    out = []
    for group in rules.get("groups", []):
        for rule in group.get("rules", []):
            name = rule.get("alert") or rule.get("record")
            templates = " ".join(str(v) for v in (rule.get("annotations") or {}).values())
            out.append((f"rule {name}", rule["expr"], templates))
    return out


def check_against_page(where, expr, shown, families):
    named = METRIC.findall(expr)
    known = set()
    for name in named:
        family = family_of(name, families)
        if family is None:
            problem(f"{where}: {name} is not on the metrics page")
        else:
            known.add(family)
    # Labels a selector matches: the family has them, and a value it must equal is one the page shows.
    for name, matchers in SELECTOR.findall(expr):
        family = family_of(name, families)
        if family is None:
            continue
        labels = dict(families[family]["labels"])
        if name.endswith("_bucket"):
            labels.setdefault("le", set())
        for label, op, value in MATCHER.findall(matchers):
            if label in TARGET_LABELS:
                continue
            if label not in labels:
                problem(f'{where}: {name} has no label {label} on the metrics page')
            elif op == "=" and value not in labels[label]:
                problem(f'{where}: {name}{{{label}="{value}"}} is not on the metrics page '
                        f'(its values: {", ".join(sorted(labels[label]))})')
    # Labels grouped by, matched on, or shown in a legend or an annotation: some family of the query has them.
    available = set(TARGET_LABELS) | {"le"}
    for family in known:
        available |= set(families[family]["labels"])
    used = {label.strip() for group in GROUPING.findall(expr) for label in group.split(",") if label.strip()}
    used |= set(LEGEND_LABEL.findall(shown)) | set(RULE_LABEL.findall(shown))
    for label in sorted(used - available):
        if known:
            problem(f"{where}: label {label} is on none of {', '.join(sorted(known))}")


def check_families(page_path, dashboard_path, rules_path):
    families = read_page(page_path)
    with open(dashboard_path, encoding="utf-8") as f:
        dashboard = json.load(f)
    with open(rules_path, encoding="utf-8") as f:
        rules = yaml.safe_load(f)
    queries = dashboard_queries(dashboard) + rule_queries(rules)
    for where, expr, shown in queries:
        check_against_page(where, expr, shown, families)
    named = {family_of(n, families) for _, expr, _ in queries for n in METRIC.findall(expr)} - {None}
    print(f"{len(queries)} queries name {len(named)} families, of {len(families)} on the page")


# --- the dashboard ------------------------------------------------------------

def check_dashboard(path):
    with open(path, encoding="utf-8") as f:
        dashboard = json.load(f)
    for key in ("title", "uid", "panels", "templating", "schemaVersion"):
        if key not in dashboard:
            problem(f"the dashboard has no {key}")
    if dashboard.get("id") is not None:
        problem("the dashboard has an id: an import would overwrite that dashboard of one Grafana")

    # An import asks for the data source of the one input; a file provisioned
    # as it is resolves the same ${NAME} through the data source variable.
    inputs = [i for i in dashboard.get("__inputs", []) if i.get("type") == "datasource"]
    if len(inputs) != 1 or inputs[0].get("pluginId") != "prometheus":
        problem("the dashboard needs exactly one __inputs data source of plugin prometheus")
    source_name = inputs[0].get("name", "") if inputs else "DS_PROMETHEUS"
    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    source = [v for v in variables.values() if v.get("type") == "datasource"]
    if len(source) != 1 or source[0].get("query") != "prometheus" or source[0].get("name") != source_name:
        problem(f"the dashboard needs exactly one data source variable of type prometheus, named {source_name}")

    # Every data source reference, anywhere, is the input (or Grafana's own for its annotations).
    def walk(node, where):
        if isinstance(node, dict):
            ds = node.get("datasource")
            if isinstance(ds, dict):
                uid = ds.get("uid", "")
                if uid not in (f"${{{source_name}}}", "-- Grafana --"):
                    problem(f"{where}: a fixed data source {ds}")
            elif isinstance(ds, str):
                problem(f"{where}: a data source by name ({ds}) instead of the variable")
            for key, value in node.items():
                walk(value, f"{where}.{key}")
        elif isinstance(node, list):
            for i, value in enumerate(node):
                walk(value, f"{where}[{i}]")
    walk(dashboard, "dashboard")

    # The job menu lists the jobs that scrape shardex, the instance menu that job's processes.
    job, instance = variables.get("job", {}), variables.get("instance", {})
    if label_values_metric(job.get("query") or "") != 'shardex_build_info{job=~".+"}':
        problem("the dashboard needs a job variable from label_values(shardex_build_info, job)")
    if "$job" not in str(instance.get("query")):
        problem("the instance variable does not depend on $job")
    # Every series a query reads is that job's and that instance's.
    for where, expr, _ in dashboard_queries(dashboard):
        if where.startswith("variable"):
            continue
        for m in re.finditer(r"\b(?:shardex|process)_[a-zA-Z0-9_]+(\s*\{[^}]*\})?", expr):
            matchers = {(label, value) for label, _, value in MATCHER.findall(m.group(1) or "")}
            if not {("job", "$job"), ("instance", "$instance")} <= matchers:
                problem(f"{where}: {m.group(0)} does not select job $job and instance $instance")

    panels = list(all_panels(dashboard))
    if not panels:
        problem("the dashboard has no panels")
    for panel in panels:
        if panel.get("type") not in ("text", "row") and not any(
                t.get("expr", "").strip() for t in panel.get("targets", [])):
            problem(f'panel "{panel.get("title")}": no query')
    print(f"{len(panels)} panels, variables {', '.join(sorted(variables))}")


# --- the alert rules -----------------------------------------------------------

def anchors(markdown_path):
    """The anchors of a Markdown file's headings, as its renderers make them."""
    out = set()
    with open(markdown_path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
            if m:
                out.add(re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-"))
    return out


def check_rules(rules_path, tests_path, runbook_path):
    with open(rules_path, encoding="utf-8") as f:
        rules = [r for g in yaml.safe_load(f)["groups"] for r in g["rules"]]
    with open(tests_path, encoding="utf-8") as f:
        tests = yaml.safe_load(f)["tests"]
    sections = anchors(runbook_path)
    runbook = "docs/monitoring/" + runbook_path.rsplit("/", 1)[-1]
    # An alert is tested when some evaluation expects it to fire and some expects it not to.
    fired, quiet = set(), set()
    for test in tests:
        for case in test.get("alert_rule_test", []):
            (fired if case.get("exp_alerts") else quiet).add(case["alertname"])
    for rule in rules:
        name = rule.get("alert") or rule.get("record")
        # The rules work under whatever job scrapes shardex.
        if re.search(r"\bjob\s*(=~|!~|!=|=)", rule["expr"]):
            problem(f"{name}: names a job")
        if "alert" not in rule:
            continue
        annotations = rule.get("annotations") or {}
        url = str(annotations.get("runbook_url", ""))
        for what, ok in (("no test where it fires", name in fired), ("no test where it stays quiet", name in quiet),
                         ("no severity label", (rule.get("labels") or {}).get("severity") in ("critical", "warning", "info")),
                         ("no summary", bool(annotations.get("summary"))),
                         ("no description", bool(annotations.get("description"))),
                         (f"runbook_url {url!r} is not {runbook}#SECTION",
                          url.startswith(runbook + "#") and url.split("#", 1)[1] in sections)):
            if not ok:
                problem(f"{name}: {what}")
    print(f"{sum('alert' in r for r in rules)} alerts, {len(sections)} runbook sections")


def write_promql_rules(dashboard_path, out_path):
    with open(dashboard_path, encoding="utf-8") as f:
        dashboard = json.load(f)

    def substitute(expr):
        def one(m):
            name = m.group(1) or m.group(2)
            return GRAFANA_BUILTINS.get(name, "shardex-1:9187")
        return GRAFANA_VARIABLE.sub(one, expr)

    rules = [{"record": f"dashboard:query_{i}", "expr": substitute(expr)}
             for i, (_, expr, _) in enumerate(dashboard_queries(dashboard))]
    with open(out_path, "w", encoding="utf-8") as f:
        yaml.safe_dump({"groups": [{"name": "dashboard", "rules": rules}]}, f, sort_keys=False)
    print(f"{len(rules)} dashboard queries written to {out_path}")


def main(argv):
    if len(argv) == 3 and argv[1] == "dashboard":
        check_dashboard(argv[2])
    elif len(argv) == 4 and argv[1] == "promql-rules":
        write_promql_rules(argv[2], argv[3])
    elif len(argv) == 5 and argv[1] == "rules":
        check_rules(argv[2], argv[3], argv[4])
    elif len(argv) == 5 and argv[1] == "families":
        check_families(argv[2], argv[3], argv[4])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
