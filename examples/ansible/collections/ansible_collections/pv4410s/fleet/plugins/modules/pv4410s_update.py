#!/usr/bin/python
# Keeps the firmware of the PV4410S printers attached to a host up to date with pv4410s-update,
# reading the program's --json events: a playbook states what it wants, this module finds out
# what to do and reports per printer what it did.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: pv4410s_update
short_description: Bring the firmware of PV4410S printers up to date
description:
  - Runs C(pv4410s-update --json update --yes) on the host and reports, for every printer, what
    it did. A printer that already runs the firmware built into the program is left alone.
  - C(changed) only when an image was sent to a printer.
  - Fails when any printer failed, with each failed printer's message.
  - In check mode nothing is sent to any printer; C(pv4410s-update check) or C(list) tells which
    printers would be updated.
options:
  device:
    description: The printer, by its serial number or USB port path; default the first one.
    type: str
  all:
    description: Every attached printer.
    type: bool
    default: false
  jobs:
    description: With I(all), how many printers are updated at once.
    type: int
    default: 1
  reinstall:
    description: Send the firmware even to printers that already run it.
    type: bool
    default: false
  recover:
    description: Pass C(--recover) to C(pv4410s-update update), with I(family) as C(--family).
    type: bool
    default: false
  family:
    description: With I(recover), the printer family (C(--family)).
    type: str
  executable:
    description: The pv4410s-update program on the host.
    type: str
    default: pv4410s-update
  command_prefix:
    description: Words put in front of the command, such as a wrapper.
    type: list
    elements: str
    default: []
"""

EXAMPLES = r"""
- name: Bring every attached printer up to date, two at a time
  pv4410s.fleet.pv4410s_update:
    all: true
    jobs: 2
"""

RETURN = r"""
printers:
  description: One entry per printer.
  returned: always
  type: list
  elements: dict
  contains:
    printer: {description: Serial number (or port path), type: str}
    port: {description: USB port path, type: str}
    outcome:
      description: >-
        up-to-date, success, would-update (check mode), or what failed (not-connected,
        printer-busy, printer-locked, transfer-failed, ...).
      type: str
    status: {description: The program's exit status for this printer, type: int}
    message: {description: The program's final message for this printer, type: str}
    before: {description: Versions before, type: dict}
    after: {description: Versions after, type: dict}
    changed: {description: An image was sent (check mode, would be), type: bool}
    failed: {description: This printer failed, type: bool}
rc: {description: Exit status of pv4410s-update, returned: always, type: int}
command: {description: The command run, returned: always, type: list}
"""

import json

from ansible.module_utils.basic import AnsibleModule

FINE = ("success", "up-to-date")


def events(stdout):
    """The program's JSON events, one per line; other lines are passed over."""
    found = []
    for line in stdout.split("\n"):  # JSON lines end in \n only
        if line.startswith("{"):
            try:
                found.append(json.loads(line))
            except ValueError:
                pass
    return found


def flat(text):
    return " ".join((text or "").split())


def would_change(result, params):
    if result == "update-available":
        return True
    if result == "up-to-date":
        return params["reinstall"]
    return params["recover"] and result == "not-applicable"


def check_mode(module, base):
    params = module.params
    if params["device"]:
        argv = base + ["check", "--device", params["device"]]
    else:
        argv = base + (["list"] if params["all"] else ["check"])
    rc, out, err = module.run_command(argv)
    printers = []
    for e in events(out):
        if e.get("event") not in ("printer", "outcome"):
            continue
        result = e.get("result") or e.get("outcome")
        change = would_change(result, params)
        printers.append(dict(
            printer=e.get("printer") or e.get("port") or "-", port=e.get("port"),
            outcome="would-update" if change else result, status=e.get("status"),
            message=flat(e.get("message")), before=e.get("versions"), after=e.get("update"),
            changed=change, failed=not change and result != "up-to-date"))
    return argv, rc, err, printers


def update(module, base):
    params = module.params
    argv = base + ["update", "--yes"]
    if params["all"]:
        argv += ["--all"]
        if params["jobs"] > 1:
            argv += ["--jobs", str(params["jobs"])]
    elif params["device"]:
        argv += ["--device", params["device"]]
    if params["reinstall"]:
        argv += ["--reinstall"]
    if params["recover"]:
        argv += ["--recover"] + (["--family", params["family"]] if params["family"] else [])
    rc, out, err = module.run_command(argv)
    ports = {}
    printers = []
    for e in events(out):
        if e.get("event") == "start" and e.get("printer"):
            ports[e["printer"]] = e.get("port")
        if e.get("event") != "outcome":
            continue
        sent = bool(e.get("main_sent")) or bool(e.get("table_sent"))
        name = e.get("printer") or "-"
        printers.append(dict(
            printer=name, port=ports.get(name), outcome=e.get("outcome"), status=e.get("status"),
            message=flat(e.get("message")), before=e.get("before"), after=e.get("after"),
            main_sent=bool(e.get("main_sent")), table_sent=bool(e.get("table_sent")),
            changed=sent, failed=e.get("outcome") not in FINE))
    return argv, rc, err, printers


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type="str"),
            all=dict(type="bool", default=False),
            jobs=dict(type="int", default=1),
            reinstall=dict(type="bool", default=False),
            recover=dict(type="bool", default=False),
            family=dict(type="str"),
            executable=dict(type="str", default="pv4410s-update"),
            command_prefix=dict(type="list", elements="str", default=[]),
        ),
        mutually_exclusive=[("device", "all")],
        supports_check_mode=True,
    )
    if module.params["jobs"] < 1:
        module.fail_json(msg="jobs must be at least 1")
    base = module.params["command_prefix"] + [module.params["executable"], "--json"]
    run = check_mode if module.check_mode else update
    argv, rc, err, printers = run(module, base)
    printers.sort(key=lambda p: (p["port"] or "", p["printer"]))
    result = dict(changed=any(p["changed"] for p in printers), printers=printers, rc=rc,
                  command=argv, stderr_lines=err.splitlines())
    failures = [p for p in printers if p["failed"]]
    if failures or not printers or (rc != 0 and not module.check_mode):
        why = "; ".join("%s: %s (%s)" % (p["printer"], p["outcome"], p["message"])
                        for p in failures)
        if not why:
            last = err.strip().splitlines()[-1:] or ["no printer reported"]
            why = "pv4410s-update ended with exit status %d: %s" % (rc, last[0])
        module.fail_json(msg=why, **result)
    changed = [p["printer"] for p in printers if p["changed"]]
    verb = "would update" if module.check_mode else "updated"
    module.exit_json(msg="%s: %s" % (verb, ", ".join(changed)) if changed else "up to date",
                     **result)


if __name__ == "__main__":
    main()
