#!/usr/bin/env python3
"""The crash campaign: tarnwick-cli's writes to the history cut off at random moments.

Each trial runs one command that writes the history (a download into it from a velmora-sim, an
import of a CSV file, setting limits, a copy into another history) and stops it at a random moment
with one of three blows:
  kill       SIGKILL to tarnwick-cli (both back ends);
  server     the PostgreSQL server ended as a crash would (pg_ctl -m immediate) and started again;
  power      a power cut under a SQLite history: tarnwick-cli killed, and the writes that were not
             synced undone, all or a last part of each file's (PowerCutShim.c says what that model
             keeps and loses).
Then the history has to open; every reading of the trial's command is there or none is (compared
with a reference history that ran the same commands without interruption); nothing that was there
before is lost, no reading doubled; `history --digest` gives the reference's digest of that state;
and the same command run again completes and leaves the history equal to the reference.

Trials come in chains on one history of one back end (a chain starts from an empty history), so
that later trials work on histories with earlier downloads, limits and copies. Every choice of a
trial follows from the seed and its number; `--first N --trials 1` repeats trial N (the earlier
trials of its chain run again first, uninterrupted, to build its history). The moment of the blow is
a fraction of the command's measured duration, so on another machine it lands at a similar point, or
on SQLite (half of the kills and power cuts) the place of one of its writes to the history, which
repeats exactly as long as the command writes the same way. Also checked before the trials: that the
power-cut shim loses an unsynced commit, and that an import reported as stored while another program
keeps the history open survives a cut.

New kinds of trial (signing, comments, an audit trail) are a TrialKind each, listed in KINDS: the
command, the states it may leave (whole or absent) and what else it keeps beside the readings.

usage: crash_campaign.py --cli PATH --sim PATH --shim PATH --pg-server PATH [--seed N] [--first N]
                         [--trials N] [--backends sqlite,pg] [--keep] [--verbose]
"""

import argparse
import collections
import glob
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

BOUND = 120  # seconds: far beyond any step on a loaded machine; a step that takes longer hangs
CHAIN_LENGTH = 8
EMPTY_DIGEST = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


class CampaignError(Exception):
    """The campaign itself cannot go on (a reference command failed, a tool is missing)."""


# ---- Processes ----

class Tools:
    def __init__(self, args, work):
        self.cli = os.path.abspath(args.cli)
        self.sim = os.path.abspath(args.sim)
        self.shim = os.path.abspath(args.shim)
        self.pg_script = os.path.abspath(args.pg_server)
        self.work = work
        self.run_dir = os.path.join(work, "run")
        os.mkdir(self.run_dir, 0o700)
        self.verbose = args.verbose
        self.env = dict(os.environ, VELMORA_RUN_DIR=self.run_dir, LC_ALL="C", TZ="UTC")
        self.env.pop("TARNWICK_HISTORY", None)

    def log(self, text):
        if self.verbose:
            print(text, file=sys.stderr, flush=True)

    def start(self, args, env=None, pipe=False):
        return subprocess.Popen(args, env=env or self.env, stdout=subprocess.PIPE if pipe else subprocess.DEVNULL,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)

    def run(self, args, env=None, timeout=BOUND):
        """Runs to its end: (status, standard output, standard error)."""
        p = subprocess.run(args, env=env or self.env, capture_output=True, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


class PgServer:
    """The campaign's own PostgreSQL server (scripts/pg-test-server), a database per history."""

    def __init__(self, tools):
        self.tools = tools
        base = tempfile.mkdtemp(prefix="twcc-", dir="/tmp")
        os.rmdir(base)  # the script creates it for the server's user
        self.dir = base
        rc, out, err = tools.run(["bash", tools.pg_script, "start", self.dir, str(os.getpid())])
        if rc != 0:
            raise CampaignError("the PostgreSQL server did not start: " + err.strip())
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin"))
        if not bins:
            raise CampaignError("PostgreSQL's programs not found")
        self.createdb = os.path.join(bins[-1], "createdb")
        self.psql = os.path.join(bins[-1], "psql")

    def location(self, database, user="tarnwick"):
        return "host=%s port=5432 user=%s dbname=%s" % (self.dir, user, database)

    def new_database(self, database):
        """A history as a site sets it up: the administrator (the superuser) creates the tables, a
        writer may read and add, a reviewer only read. Returns the writer's and the reviewer's
        locations."""
        tools = self.tools
        rc, _, err = tools.run([self.createdb, "-h", self.dir, "-p", "5432", "-U", "tarnwick", database])
        if rc == 0 and "\n  init " in tools.run([tools.cli, "history", "--help"])[1]:
            # `history init` grants the site's group roles; the test server's logins are members.
            rc, _, err = tools.run([tools.cli, "history", "init", "--history", self.location(database)])
            if rc != 0:
                raise CampaignError("history init %s: %s" % (database, err.strip()))
            return self.location(database, "desk"), self.location(database, "auditor")
        if rc == 0:
            rc, _, err = tools.run([tools.cli, "history", "--history", self.location(database)])
        writer, reviewer = "writer_" + database, "reviewer_" + database
        if rc == 0:
            rc, _, err = tools.run([self.psql, "-v", "ON_ERROR_STOP=1", "-q", self.location(database), "-c",
                                    "CREATE ROLE %s LOGIN; CREATE ROLE %s LOGIN; "
                                    "GRANT SELECT, INSERT ON ALL TABLES IN SCHEMA public TO %s; "
                                    "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO %s; "
                                    "GRANT SELECT ON ALL TABLES IN SCHEMA public TO %s"
                                    % (writer, reviewer, writer, writer, reviewer)])
        if rc != 0:
            raise CampaignError("the history %s could not be set up: %s" % (database, err.strip()))
        return self.location(database, writer), self.location(database, reviewer)

    def crash(self):
        rc, _, err = self.tools.run(["bash", self.tools.pg_script, "kill", self.dir])
        if rc != 0:
            raise CampaignError("pg-test-server kill: " + err.strip())

    def resume(self):
        rc, _, err = self.tools.run(["bash", self.tools.pg_script, "resume", self.dir])
        if rc != 0:
            raise CampaignError("pg-test-server resume: " + err.strip())

    def stop(self):
        self.tools.run(["bash", self.tools.pg_script, "stop", self.dir])


class Sim:
    """A velmora-sim with the chain's serial and records of its own seed, until stopped."""

    def __init__(self, tools, serial, seed, records):
        self.process = subprocess.Popen([tools.sim, "--serial", serial, "--seed", str(seed), "--records",
                                         str(records)], env=tools.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Attached once its socket is in the run folder.
        deadline = time.monotonic() + BOUND
        while not any(name.startswith(serial + "-") for name in os.listdir(tools.run_dir)):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise CampaignError("velmora-sim %s did not attach" % serial)
            time.sleep(0.005)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(BOUND)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# ---- The power cut ----

HEADER = struct.Struct("<cIqqI")


def journal_changes(journal, start):
    """The writes and size changes the journal notes from byte `start` on."""
    try:
        with open(journal, "rb") as f:
            f.seek(start)
            data = f.read()
    except FileNotFoundError:
        return 0
    pos = changes = 0
    while pos + HEADER.size <= len(data):
        op, path_length, _, _, data_length = HEADER.unpack_from(data, pos)
        pos += HEADER.size + path_length + data_length
        changes += op in (b"W", b"T")
    return changes


def journal_size(journal):
    return os.path.getsize(journal) if os.path.exists(journal) else 0


def cut_power(journal, rng=None):
    """Undoes every write the journal holds after the last sync of its file; empties the journal.
    With `rng`, each file keeps a random first part of those writes instead (a disk that wrote back
    in order until the power went) and loses the rest.

    The files are then what a disk that lost power would hold (see PowerCutShim.c)."""
    try:
        with open(journal, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return 0
    pending = collections.defaultdict(list)
    pos = 0
    while pos + HEADER.size <= len(data):
        op, path_length, offset, old_size, data_length = HEADER.unpack_from(data, pos)
        end = pos + HEADER.size + path_length + data_length
        if end > len(data):
            break  # cut off while being written: its own write had not begun
        path = data[pos + HEADER.size:pos + HEADER.size + path_length].decode()
        payload = data[pos + HEADER.size + path_length:end]
        pos = end
        if op == b"S":
            pending[path] = []
        elif op == b"U":
            pending.pop(path, None)
        elif op == b"R":
            pending[payload.decode()] = pending.pop(path, [])
        else:
            pending[path].append((op, offset, old_size, payload))
    undone = 0
    for path, entries in sorted(pending.items()):
        kept = rng.randint(0, len(entries)) if rng and entries else 0
        if kept == len(entries) or not os.path.exists(path):
            continue
        with open(path, "r+b") as f:
            for op, offset, old_size, payload in reversed(entries[kept:]):
                if op == b"W":
                    f.seek(offset)
                    f.write(payload)
                    f.truncate(old_size)
                else:  # T: the size before, and the bytes a shrinking cut off
                    f.truncate(old_size)
                    if payload:
                        f.seek(offset)
                        f.write(payload)
                undone += 1
    os.truncate(journal, 0)
    return undone


def check_power_cut_model(tools):
    """The shim must really lose what was not synced, also under SQLite; else power cuts prove nothing."""
    folder = os.path.join(tools.work, "shim-check")
    os.mkdir(folder)
    journal = os.path.join(tools.work, "shim-check.journal")
    env = dict(tools.env, LD_PRELOAD=tools.shim, TW_POWERCUT_DIR=folder, TW_POWERCUT_JOURNAL=journal)
    script = r"""
import os, sqlite3, sys
folder = sys.argv[1]
fd = os.open(folder + "/plain", os.O_RDWR | os.O_CREAT, 0o600)
os.write(fd, b"A" * 100); os.fsync(fd)
os.pwrite(fd, b"B" * 10, 50); os.write(fd, b"C" * 30); os.ftruncate(fd, 20)
db = sqlite3.connect(folder + "/db.sqlite", isolation_level=None)
db.execute("PRAGMA journal_mode=WAL"); db.execute("PRAGMA synchronous=FULL")
db.execute("CREATE TABLE t(x)"); db.execute("INSERT INTO t VALUES(1)")
db.execute("PRAGMA synchronous=OFF"); db.execute("INSERT INTO t VALUES(2)")
os.kill(os.getpid(), 9)
"""
    p = subprocess.run([sys.executable, "-c", script, folder], env=env, capture_output=True, timeout=BOUND)
    if p.returncode != -signal.SIGKILL:
        raise CampaignError("power-cut check did not run: " + p.stderr.decode(errors="replace"))
    cut_power(journal)
    with open(os.path.join(folder, "plain"), "rb") as f:
        plain = f.read()
    import sqlite3
    rows = [r[0] for r in sqlite3.connect(os.path.join(folder, "db.sqlite")).execute("SELECT x FROM t")]
    if plain != b"A" * 100 or rows != [1]:
        raise CampaignError("the power-cut shim keeps unsynced writes (file %r..., rows %r)" % (plain[:20], rows))
    shutil.rmtree(folder)


def check_stored_import_survives(tools):
    """An import reported as stored while another program keeps the history open (so that no close
    copies the log into the file), then the power cut: the import must still be there. Returns the
    fault's text, or None."""
    folder = os.path.join(tools.work, "held-check")
    os.mkdir(folder, 0o700)
    journal = os.path.join(tools.work, "held-check.journal")
    env = dict(tools.env, LD_PRELOAD=tools.shim, TW_POWERCUT_DIR=folder, TW_POWERCUT_JOURNAL=journal)
    history = os.path.join(folder, "history.sqlite")
    rng = random.Random(0)
    for n, start in enumerate((1262304000, 1293840000)):
        path = os.path.join(tools.work, "held-check-%d.csv" % n)
        write_csv(path, start, 400, rng)
        holder = None
        if n == 1:
            holder = subprocess.Popen([sys.executable, "-c", HOLDER, history], stdout=subprocess.PIPE,
                                      stdin=subprocess.DEVNULL)
            holder.stdout.readline()
        rc, out, err = tools.run([tools.cli, "import", path, "--serial", "VLMHELD", "--history", history], env)
        if holder:
            holder.kill()
            holder.wait()
        if rc != 0:
            raise CampaignError("held-history check: import failed: " + err.strip())
    cut_power(journal)
    found = snapshots(tools, [(history, env)])[0]
    if found.error or sum(found.readings.values()) != 800:
        return "an import reported as stored beside an open history, then the power cut: %s" % (
            found.error or "%d of 800 readings left" % sum(found.readings.values()))
    return None


# ---- What a history holds ----

class Snapshot:
    """The readings of a history (each without its source, counted), grouped by the import each is
    kept from, and its digest; `error` when it did not open."""

    def __init__(self, readings=None, groups=None, digest=None, error=None):
        self.readings = readings or collections.Counter()
        self.groups = groups or {}
        self.digest = digest
        self.error = error


def snapshots(tools, histories):
    """Snapshots of several histories [(location, env)], their commands run side by side."""
    running = []
    for location, env in histories:
        listing = tools.start([tools.cli, "history", "--format", "jsonl", "--history", location], env, pipe=True)
        digest = tools.start([tools.cli, "history", "--digest", "--history", location], env, pipe=True)
        running.append((listing, digest))
    results = []
    for listing, digest in running:
        listed, listing_err = listing.communicate(timeout=BOUND)
        digested, digest_err = digest.communicate(timeout=BOUND)
        if listing.returncode != 0:
            results.append(Snapshot(error="history: status %d: %s" % (listing.returncode, listing_err.decode().strip())))
            continue
        if digest.returncode != 0:
            results.append(Snapshot(error="history --digest: status %d: %s" % (digest.returncode,
                                                                             digest_err.decode().strip())))
            continue
        readings = collections.Counter()
        groups = collections.defaultdict(collections.Counter)
        # A line is a reading's fields, then its source last: the text before it names the reading.
        for line in listed.decode().splitlines():
            cut = line.rfind(',"source":')
            if cut < 0 or not line.endswith("}"):
                raise CampaignError("history --format jsonl: a line without its source: " + line[:200])
            key, source = line[:cut], line[cut + 10:-1]
            readings[key] += 1
            groups[source][key] += 1
        results.append(Snapshot(readings, dict(groups), digested.decode().strip()))
    return results


def digest_of(tools, location, env):
    """The digest alone, or a Snapshot's error text."""
    rc, out, err = tools.run([tools.cli, "history", "--digest", "--history", location], env)
    return (out.strip(), None) if rc == 0 else (None, "history --digest: status %d: %s" % (rc, err.strip()))


# ---- Kinds of trial ----

class TrialKind:
    """A command that writes the history. `changes_readings`: whether the reference's readings after
    it are a state the interrupted history may be in (else only the state before is)."""
    name = ""
    changes_readings = True
    ok_statuses = (0,)

    def available(self, chain):
        return True

    def prepare(self, chain, trial, rng):
        """Makes the trial's input; returns what the commands need."""
        return {}

    def command(self, chain, trial, data, location, role):
        raise NotImplementedError

    def finish(self, chain, data):
        pass

    # What the kind keeps beside the readings: a comparable state, read from a history.
    def extra(self, tools, chain, location, env):
        return None

    def check_extra(self, before, interrupted, reference):
        """A fault's text when the interrupted history's extra state is neither before nor after."""
        return None


class Download(TrialKind):
    name = "download"
    ok_statuses = (0, 12)  # 12: the chain's limits alarm; the download is done all the same

    def prepare(self, chain, trial, rng):
        records = rng.choice([300, 1000, 3000])
        return {"sim": Sim(chain.tools, chain.serial, 1000 + trial, records)}

    def command(self, chain, trial, data, location, role):
        out = os.path.join(chain.files, "download-%d-%s.csv" % (trial, role))
        return ["download", "--serial", chain.serial, "--output", out, "--history", location]

    def finish(self, chain, data):
        data["sim"].stop()


def write_csv(path, start, lines, rng):
    """A CSV file as Tarnwick writes it (LC_ALL=C): four sensors, a line each every ten minutes."""
    rows = ["Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment"]
    for i in range(lines):
        t = time.gmtime(start + 600 * (i // 4) + 7)
        # A raw count follows its value, as a sensor's does: a file whose equal counts show different
        # values is refused line by line.
        humidity, temperature = rng.randint(200, 900), rng.randint(-100, 300)
        rows.append("%s;%d;%.1f;%.1f;%d;%d;%.1f;" % (
            time.strftime("%m/%d/%y %H:%M:%S", t), 1001 + i % 4, humidity / 10, temperature / 10,
            humidity * 60, (temperature + 400) * 60, rng.randint(100, 300) / 10))
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(rows) + "\r\n")


class Import(TrialKind):
    name = "import"

    def prepare(self, chain, trial, rng):
        # Lines at times no download of the virtual logger has (years before its records), a range
        # of their own per trial, so every import brings new readings.
        path = os.path.join(chain.files, "import-%d.csv" % trial)
        write_csv(path, 1420070400 + trial * 86400 * 40, rng.choice([300, 2000, 6000]), rng)  # 2015 on
        return {"file": path}

    def command(self, chain, trial, data, location, role):
        return ["import", data["file"], "--serial", chain.serial, "--history", location]


class SetLimits(TrialKind):
    name = "limits"
    changes_readings = False

    def prepare(self, chain, trial, rng):
        low = rng.randint(0, 18)
        args = ["--temperature", "%d:%d" % (low, low + rng.randint(2, 12))]
        if rng.random() < 0.5:
            args += ["--humidity", "%d:" % rng.randint(20, 60), "--delay", "%dm" % rng.randint(0, 60)]
        return {"args": args}

    def command(self, chain, trial, data, location, role):
        # Limits that are set change only with a reason; the first setting ignores it.
        return (["limits", "--serial", chain.serial] + data["args"] + ["--reason", "trial %d" % trial] +
                ["--history", location])

    def extra(self, tools, chain, location, env):
        rc, out, err = tools.run([tools.cli, "limits", "--serial", chain.serial, "--history", location], env)
        if rc != 0:
            return (None, 0, err.strip())  # a logger the history does not know yet
        current, _, changes = out.partition("changes:\n")
        return (current, len(changes.splitlines()), "")

    def check_extra(self, before, interrupted, reference):
        if interrupted[0] is None and before[0] is not None:
            return "limits unreadable: " + interrupted[2]
        if interrupted[0] not in (before[0], reference[0]):
            return "limits neither as before nor as set: %r" % interrupted[0]
        if interrupted[1] not in (before[1], before[1] + 1):
            return "%d limit changes recorded, %d before" % (interrupted[1], before[1])
        if before[0] != reference[0] and (interrupted[1] == before[1]) != (interrupted[0] == before[0]):
            return "limits and their record of changes disagree"
        return None


class Copy(TrialKind):
    """history copy from the chain's history into its copy target; the target is the history the
    blow falls on, and it must hold whole downloads of the source, never a part of one."""
    name = "copy"
    changes_readings = False

    def command(self, chain, trial, data, location, role):
        return ["history", "copy", "--from", location, "--to", chain.copy_target]


# Signing, comments and the audit trail join here as kinds of their own.
KINDS = [Download(), Import(), SetLimits(), Copy()]


# ---- Chains and trials ----

class Counts:
    FAULTS = ["lost", "doubled", "torn", "digest mismatches", "failed opens", "failed reruns", "hangs"]

    def __init__(self):
        self.values = collections.OrderedDict(
            (name, 0) for name in ["trials", "kills", "server crashes", "power cuts", "done before the blow",
                                   "whole", "absent"] + self.FAULTS)

    def add(self, name, n=1):
        self.values[name] += n

    def faults(self):
        return sum(self.values[name] for name in self.FAULTS)

    def line(self):
        return "campaign (crash): " + ", ".join("%s %d" % (k, v) for k, v in self.values.items())


# Another program with the history open and idle, until it is killed.
HOLDER = ("import sqlite3,sys,time\nc=sqlite3.connect(sys.argv[1])\n"
          "c.execute('SELECT count(*) FROM sqlite_master').fetchall()\nprint('held',flush=True)\n"
          "time.sleep(100000)\n")


class Chain:
    def __init__(self, tools, pg, seed, index, backends):
        self.tools = tools
        self.index = index
        rng = random.Random("%d:chain:%d" % (seed, index))
        # The back ends take turns, and every other SQLite chain is held open, so that a short run
        # has each.
        self.backend = backends[index % len(backends)]
        self.serial = "VLMC%d" % index
        self.dir = os.path.join(tools.work, "chain-%d" % index)
        self.history_dir = os.path.join(self.dir, "history")  # what a power cut reaches
        self.files = os.path.join(self.dir, "files")
        for d in (self.dir, self.history_dir, self.files):
            os.mkdir(d, 0o700)
        self.journal = os.path.join(self.dir, "powercut.journal")
        self.reference = os.path.join(self.files, "reference.sqlite")
        # Commands write as the site's writer; the checks read as its reviewer.
        if self.backend == "pg":
            self.location, self.reader = pg.new_database("chain%d" % index)
        else:
            self.location = self.reader = os.path.join(self.history_dir, "history.sqlite")
        if pg and rng.random() < 0.5:
            self.copy_target, self.copy_reader = pg.new_database("chain%dcopy" % index)
        else:
            self.copy_target = self.copy_reader = os.path.join(self.history_dir, "copy.sqlite")
        # Another program keeps the history open (the window beside the nightly download): a command
        # closing it then leaves its writes in the log, synced only as SQLite's settings say.
        self.held = self.backend == "sqlite" and (index // len(backends)) % 2 == 1
        self.holder = None
        self.env = dict(tools.env)
        if self.backend == "sqlite":
            self.env.update(LD_PRELOAD=tools.shim, TW_POWERCUT_DIR=self.history_dir,
                            TW_POWERCUT_JOURNAL=self.journal)
        self.state = Snapshot(digest=EMPTY_DIGEST)
        self.copy_state = Snapshot(digest=EMPTY_DIGEST)

    def hold(self):
        if not self.held or self.holder or not os.path.exists(self.location):
            return
        self.holder = subprocess.Popen([sys.executable, "-c", HOLDER, self.location], stdout=subprocess.PIPE,
                                       stdin=subprocess.DEVNULL)
        if self.holder.stdout.readline().strip() != b"held":
            raise CampaignError("the holder of the history did not open it")

    def release(self):
        # Killed, never closed: its close would checkpoint the log outside the journal.
        if self.holder:
            self.holder.kill()
            self.holder.wait()
            self.holder = None


def classify(found, before, after, allowed_after):
    """Whole, absent, or the faults the found readings show against the states allowed."""
    if found == before:
        return "absent"
    if allowed_after and found == after:
        return "whole"
    faults = []
    if any(found[k] < n for k, n in before.items()):
        faults.append("lost")
    most = before | after if allowed_after else before
    if any(n > most[k] for k, n in found.items()):
        faults.append("doubled")
    if not faults:
        faults.append("torn")
    return faults


def copy_faults(source, before, found):
    """The copy target's readings: whole downloads of the source, nothing of before lost, no doubles."""
    faults = []
    for group, readings in found.groups.items():
        if group not in source.groups:
            if group not in before.groups:
                faults.append("torn")
        elif readings != source.groups[group] and readings != before.groups.get(group):
            faults.append("torn")
    if any(found.readings[k] < n for k, n in before.readings.items()):
        faults.append("lost")
    if any(n > max(source.readings[k], before.readings[k]) for k, n in found.readings.items()):
        faults.append("doubled")
    return sorted(set(faults))


def run_trial(tools, pg, chain, kind, trial, rng, counts, estimates, blow):
    data = kind.prepare(chain, trial, rng)
    try:
        return trial_steps(tools, pg, chain, kind, trial, rng, counts, estimates, blow, data)
    finally:
        kind.finish(chain, data)


def trial_steps(tools, pg, chain, kind, trial, rng, counts, estimates, blow, data):
    """One trial (with a blow unless `blow` is false); returns its faults (texts). `estimates` holds
    each kind's duration and, on SQLite, its number of writes, as the last uninterrupted run showed."""
    faults = []
    blows = ["kill"]
    if chain.backend == "sqlite":
        blows.append("power")
    if chain.backend == "pg" or (kind.name == "copy" and not chain.copy_target.startswith("/")):
        blows.append("server")
    blow = rng.choice(blows) if blow else None
    target = chain.copy_reader if kind.name == "copy" else chain.reader
    before = chain.copy_state if kind.name == "copy" else chain.state
    extra_before = kind.extra(tools, chain, chain.reader, chain.env)
    args = [tools.cli] + kind.command(chain, trial, data, chain.location, "interrupted")

    chain.hold()
    if blow is not None:
        # The moment: a fraction of the command's duration, or (on SQLite, for a kill or a power cut)
        # the place of one of its writes to the history.
        env = chain.env
        writes = estimates.get((kind.name, "writes"), 0)
        if blow != "server" and chain.backend == "sqlite" and writes and rng.random() < 0.5:
            moment = BOUND
            at = rng.randint(1, writes)
            env = dict(chain.env, TW_POWERCUT_KILL_AT=str(at))
            when = "at write %d of %d" % (at, writes)
        else:
            fraction = rng.choice([rng.uniform(0.0, 1.1), rng.uniform(0.5, 1.0)])
            moment = fraction * estimates.get((kind.name, "seconds"), 0.5)
            when = "at %.0f ms" % (moment * 1000)
        tools.log("trial %d: chain %d (%s%s), %s, %s %s" % (
            trial, chain.index, chain.backend, ", held" if chain.held else "", kind.name, blow, when))
        process = tools.start(args, env)
        try:
            process.wait(moment)
        except subprocess.TimeoutExpired:
            if moment == BOUND:
                faults.append(("hangs", "tarnwick-cli did not reach its write %s" % when))
        # Still running, or killed by the shim at its write: the blow fell in the middle of the command.
        mid_run = process.returncode is None or process.returncode == -signal.SIGKILL
        if not mid_run:
            counts.add("done before the blow")
        if blow == "server":
            pg.crash()
            counts.add("server crashes")
            try:
                process.wait(BOUND)
            except subprocess.TimeoutExpired:
                process.kill()
                faults.append(("hangs", "tarnwick-cli went on after the server's end"))
            pg.resume()
        else:
            if process.returncode is None:
                process.kill()
            process.wait()
            if mid_run:
                counts.add("kills")
            if blow == "power":
                chain.release()
                counts.add("power cuts")
                cut_power(chain.journal, rng if rng.random() < 0.5 else None)
        process.stderr.close()

    # The reference: the same command on a history that is never interrupted.
    if kind.name != "copy":
        rc, _, err = tools.run([tools.cli] + kind.command(chain, trial, data, chain.reference, "reference"))
        if rc not in kind.ok_statuses:
            raise CampaignError("trial %d: the reference %s failed (%d): %s" % (trial, kind.name, rc, err.strip()))
    extra_reference = kind.extra(tools, chain, chain.reference, None)
    wanted = [(chain.reader, chain.env) if kind.name == "copy" else (chain.reference, None)]
    if blow is not None:
        wanted.append((target, chain.env))
    taken = snapshots(tools, wanted)
    reference = taken[0]
    if reference.error:
        raise CampaignError("trial %d: the reference history: %s" % (trial, reference.error))

    if blow is not None:
        found = taken[1]
        aside = glob.glob(os.path.join(chain.history_dir, "*.damaged-*"))
        if found.error or aside:
            faults.append(("failed opens", found.error or "set aside as damaged: " + ", ".join(aside)))
        elif kind.name == "copy":
            faults += [(f, "copy target") for f in copy_faults(reference, before, found)]
        else:
            verdict = classify(found.readings, before.readings, reference.readings, kind.changes_readings)
            if verdict in ("absent", "whole"):
                counts.add(verdict)
                expected = before.digest if verdict == "absent" else reference.digest
                if found.digest != expected:
                    faults.append(("digest mismatches", "digest %s, expected %s" % (found.digest, expected)))
            else:
                faults += [(f, "%d readings found, %d before, %d after" % (
                    sum(found.readings.values()), sum(before.readings.values()),
                    sum(reference.readings.values()))) for f in verdict]
            extra_found = kind.extra(tools, chain, chain.reader, chain.env)
            problem = kind.check_extra(extra_before, extra_found, extra_reference)
            if problem:
                faults.append(("torn", problem))

    # The next run completes and leaves what the reference holds.
    start, journal_start = time.monotonic(), journal_size(chain.journal)
    rc, _, err = tools.run(args, chain.env)
    estimates[(kind.name, "seconds")] = time.monotonic() - start
    if chain.backend == "sqlite":
        estimates[(kind.name, "writes")] = journal_changes(chain.journal, journal_start)
    if rc not in kind.ok_statuses:
        faults.append(("failed reruns", "status %d: %s" % (rc, err.strip())))
    # The digest covers every record's bytes: equal to the reference's, the history holds its readings.
    digest, error = digest_of(tools, target, chain.env)
    final = reference
    if error:
        faults.append(("failed reruns", error))
    elif digest != reference.digest:
        final = snapshots(tools, [(target, chain.env)])[0]
        faults.append(("lost" if any(final.readings[k] < n for k, n in reference.readings.items()) else "torn",
                       "after the next run: %d readings, digest %s; expected %d, %s" % (
                           sum(final.readings.values()), digest, sum(reference.readings.values()),
                           reference.digest)))
    if kind.name == "copy":
        chain.copy_state = final
    else:
        chain.state = final
        extra_final = kind.extra(tools, chain, chain.reader, chain.env)
        if extra_reference is not None and extra_final[0] != extra_reference[0]:
            faults.append(("failed reruns", "limits after the next run: %r" % (extra_final,)))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--pg-server", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--trials", type=int, default=500)
    parser.add_argument("--backends", default="sqlite,pg")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    backends = args.backends.split(",")

    work = tempfile.mkdtemp(prefix="tarnwick-crash-")
    os.chmod(work, 0o700)
    tools = Tools(args, work)
    counts = Counts()
    pg = None
    failed = []
    try:
        check_power_cut_model(tools)
        if "sqlite" in backends:
            problem = check_stored_import_survives(tools)
            if problem:
                counts.add("lost")
                failed.append(-1)
                print("  " + problem, file=sys.stderr)
        if "pg" in backends:
            pg = PgServer(tools)
        estimates = {}
        chains = {}
        for trial in range(args.first - args.first % CHAIN_LENGTH, args.first + args.trials):
            index = trial // CHAIN_LENGTH
            if index not in chains:
                for old in chains.values():
                    old.release()
                chains = {index: Chain(tools, pg, args.seed, index, backends)}
            chain = chains[index]
            rng = random.Random("%d:trial:%d" % (args.seed, trial))
            kinds = [k for k in KINDS if k.available(chain)]
            kind = rng.choice(kinds)
            replaying = trial < args.first  # builds the history of a repeated trial, no blow
            try:
                faults = run_trial(tools, pg, chain, kind, trial, rng, counts, estimates, not replaying)
            except subprocess.TimeoutExpired as e:
                faults = [("hangs", "no end after %d s: %s" % (BOUND, " ".join(e.cmd)))]
            if replaying:
                continue
            counts.add("trials")
            for name, text in faults:
                counts.add(name)
                failed.append(trial)
                print("  trial %d (%s, chain %d on %s): %s: %s" % (trial, kind.name, chain.index, chain.backend,
                                                                   name, text), file=sys.stderr)
        for chain in chains.values():
            chain.release()
    finally:
        if pg:
            pg.stop()
        if args.keep or failed:
            print("work folder kept: " + work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    trials_failed = [t for t in failed if t >= 0]
    if trials_failed:
        print("repeat one: crash_campaign.py ... --seed %d --first %d --trials 1 --verbose" % (
            args.seed, trials_failed[0]), file=sys.stderr)
    print(counts.line(), flush=True)
    return 1 if counts.faults() else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except CampaignError as e:
        print("crash campaign: " + str(e), file=sys.stderr)
        sys.exit(2)
