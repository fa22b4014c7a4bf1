#!/usr/bin/python3
"""merel-sms-http in front of two instances on a private session bus, each with an answering
modem-sim, and a third whose modem refuses every SMS: the start-up refusals; Kannel's sendsms
and /v1/messages sending to each modem side by side, with the texts on the wire; the refusals
a gateway or script gets (credentials, missing input, an oversized body, the rate); a gateway's
retry after a temporary failure delivering through the other modem exactly once; Alertmanager's
recorded notifications becoming the SMS texts; 100 requests at once all answered.

Environment: MEREL_BUILD_LINUX (build folder of a Linux preset), MEREL_SOURCE.
"""

import concurrent.futures
import http.client
import json
import os
import signal
import socket
import subprocess
import urllib.parse

from dbus_world import case, check, main, stop, wait_until

NUMBER = "+491701234567"
USER, PASSWORD, TOKEN = "kannel", "s3cret", "t0ken"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_cases(w):
    if not w.set_up():
        return
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(w.built_server))))
    cli = os.path.join(build, "src", "cli", "merel-sms")
    front_program = os.path.join(build, "src", "http", "merel-sms-http")
    source = os.environ.get("MEREL_SOURCE") or os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    sims = {}  # instance: (process, link, transcript)
    fronts = []

    def write_config(name, text, mode=0o600):
        path = os.path.join(w.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def start_front(config, port):
        p = subprocess.Popen([front_program, "--config", config], env=w.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        fronts.append(p)
        line = p.stderr.readline()
        check(line == f"merel-sms-http: listening on http://127.0.0.1:{port} (session bus)\n",
              f"merel-sms-http said {line!r}")
        return p

    def request(port, method, path, body=None, headers=None, timeout=120):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read().decode(), dict(response.getheaders())
        finally:
            connection.close()

    def messages(name):
        with open(sims[name][2]) as f:
            return [(r["number"], r["text"]) for r in map(json.loads, filter(str.strip, f))
                    if r["type"] == "message"]

    try:
        for name, options in (("a", []), ("b", []), ("r", ["--refuse", "42"])):
            sims[name] = w.start_named_sim(name, "--answer", "ok", "--confirm-delay", "0.2",
                                           *options)
            if sims[name] is None:
                return
            link = sims[name][1]
            p = w.run([w.server, "-RegServer", "--instance", name])
            q = w.run([cli, "--timeout", "30", "--modem", name, "configure", "--port", link,
                       "--mode", "text"])
            if p.returncode or q.returncode:
                case("instances start")(lambda: check(False, p.stderr + q.stderr))
                return

        @case("it will not start where its configuration would expose the modems or a secret")
        def _():
            exposed = write_config("exposed.conf", "listen = 0.0.0.0:13013\n")
            p = w.run([front_program, "--config", exposed])
            check(p.returncode == 64 and "which other machines can reach, needs credentials"
                  in p.stderr, f"0.0.0.0 without credentials: exit {p.returncode}: {p.stderr}")
            readable = write_config("readable.conf", f"token = {TOKEN}\n", 0o644)
            p = w.run([front_program, "--config", readable])
            check(p.returncode == 77 and f"hint: chmod 600 {readable}\n" in p.stderr,
                  f"a readable secret: exit {p.returncode}: {p.stderr}")
            wrong = write_config("wrong.conf", "# the front\n\nlisten = 127.0.0.1:1\nport = 1\n")
            p = w.run([front_program, "--config", wrong])
            check(p.returncode == 64 and f"{wrong}, line 4: unknown key 'port'" in p.stderr,
                  f"an unknown key: exit {p.returncode}: {p.stderr}")

        port = free_port()
        config = write_config("http.conf", f"listen = 127.0.0.1:{port}\nusername = {USER}\n"
                              f"password = {PASSWORD}\ntoken = {TOKEN}\nmax-body = 2048\n"
                              "rate = 100000\ntimeout = 60\n")
        start_front(config, port)
        bearer = {"Authorization": f"Bearer {TOKEN}"}

        def sendsms(**params):
            query = urllib.parse.urlencode(dict(username=USER, password=PASSWORD) | params)
            return request(port, "GET", f"/cgi-bin/sendsms?{query}")

        @case("sendsms and /v1/messages send to modems a and b side by side, as asked")
        def _():
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                # As a script writes it: the '+' of the number not escaped.
                via_sendsms = pool.submit(
                    request, port, "GET", f"/cgi-bin/sendsms?username={USER}&password={PASSWORD}"
                    f"&to={NUMBER}&text=Gr%C3%BC%C3%9Fe+aus+Kannel&coding=0&smsc=a")
                via_v1 = pool.submit(
                    request, port, "POST", "/v1/messages",
                    json.dumps({"to": NUMBER, "text": "Grüße über /v1", "modem": "b"}),
                    bearer | {"Content-Type": "application/json"})
                status, body, headers = via_sendsms.result()
                check((status, body) == (202, "0: Accepted for delivery\n") and
                      headers.get("X-Merel-Confirmed") == "yes", f"sendsms: {status} {body!r}")
                status, body, _ = via_v1.result()
                got = json.loads(body)
                check(status == 200 and got["confirmed"] is True and
                      isinstance(got["reference"], int) and got["modem"] == "b" and
                      got["mode"] == "text", f"/v1/messages: {status} {body}")
            check(messages("a") == [(NUMBER, "Grüße aus Kannel")], f"a got {messages('a')}")
            check(messages("b") == [(NUMBER, "Grüße über /v1")], f"b got {messages('b')}")

        @case("sendsms refuses wrong credentials and missing or ambiguous input with "
              "Kannel's texts")
        def _():
            cases = [
                (dict(password="guess", to=NUMBER, text="x"), 403,
                 "Authorization failed for sendsms\n"),
                (dict(text="x"), 400, "Missing receiver number, rejected\n"),
                (dict(to=NUMBER), 400, "Missing text, rejected\n"),
                (dict(to=NUMBER, text="x", coding="1"), 400,
                 "coding 1 is not supported (0: text mode, 2: UCS2 in PDU mode), rejected\n"),
                (dict(to=NUMBER, text="x", smsc="no-such"), 400,
                 "invalid smsc 'no-such': a modem's name is 1 to 64 letters (A-Z, a-z), "
                 "digits or '_', not starting with a digit, rejected\n"),
            ]
            for params, want_status, want_body in cases:
                status, body, _ = sendsms(**params)
                check((status, body) == (want_status, want_body), f"{params}: {status} {body!r}")
            status, body, _ = request(port, "GET", f"/cgi-bin/sendsms?username={USER}&password="
                                      f"{PASSWORD}&to=0170+0171&text=x")
            check(status == 400 and "write %2B for a '+' and %20 between numbers" in body,
                  f"to=0170+0171: {status} {body!r}")
            status, body, _ = request(port, "POST", "/cgi-bin/sendsms", "text=" + "x" * 4096,
                                      {"Content-Type": "application/x-www-form-urlencoded"})
            check(status == 413 and "larger than 2048 bytes" in body, f"{status} {body!r}")

        @case("/v1 refuses a missing or wrong token, and bodies that are not a message")
        def _():
            status, body, headers = request(port, "GET", "/v1/modems")
            check(status == 401 and headers.get("WWW-Authenticate", "").startswith("Bearer") and
                  json.loads(body)["error"] == "this request needs a bearer token", f"{status}")
            status, _, _ = request(port, "GET", "/v1/modems", headers={"Authorization": "Bearer x"})
            check(status == 401, f"a wrong token: {status}")
            for payload, error in (("{", "the body is not a JSON object"),
                                   ('{"to": "+49170"}', '"text" is missing or empty'),
                                   ('{"to": 49170, "text": "x"}', '"to" is not a string')):
                status, body, _ = request(port, "POST", "/v1/messages", payload, bearer)
                check(status == 400 and json.loads(body)["error"] == error, f"{payload}: {body}")
            status, body, _ = request(port, "POST", "/v1/messages",
                                      json.dumps({"to": NUMBER, "text": "x", "mode": "fax"}),
                                      bearer)
            got = json.loads(body)
            check(status == 400 and set(got) == {"hresult", "error", "hint"} and
                  "fax" in got["error"], f"mode fax: {status} {body}")

        @case("a gateway that retries a temporary failure through another modem delivers each "
              "SMS once")
        def _():
            delivered = []
            for i, first_modem in enumerate(("r", "a")):
                text = f"retry {i}"
                status, body, _ = sendsms(to=NUMBER, text=text, smsc=first_modem)
                if first_modem == "r":
                    check(status == 503 and body.startswith("Temporary failure: "),
                          f"the refusing modem: {status} {body!r}")
                    print(f"# the refusing modem: {status} {body.strip()}", flush=True)
                    status, body, _ = sendsms(to=NUMBER, text=text, smsc="a")
                check(status == 202, f"{text}: {status} {body!r}")
                delivered.append((NUMBER, text))
            check(messages("a")[-2:] == delivered and messages("a").count(delivered[0]) == 1,
                  f"a got {messages('a')}")
            check(messages("r") == [(NUMBER, "retry 0")], f"r was offered {messages('r')}")

        @case("Alertmanager's firing and resolved notifications become one SMS each")
        def _():
            results = []
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                for state, modem in (("firing", "a"), ("resolved", "b")):
                    with open(os.path.join(source, "tests", "data",
                                           f"alertmanager-{state}.json")) as f:
                        payload = f.read()
                    to = urllib.parse.quote(NUMBER)
                    results.append(pool.submit(
                        request, port, "POST", f"/v1/alertmanager?to={to}&modem={modem}",
                        payload, bearer | {"Content-Type": "application/json"}))
                answers = [r.result() for r in results]
            for status, body, _ in answers:
                check(status == 200 and json.loads(body)["sent"] == 1, f"{status} {body}")
            check(messages("a")[-1] == (NUMBER, "[FIRING:2] HighLoad: load above 8 on web1"),
                  f"a got {messages('a')[-1]}")
            check(messages("b")[-1] == (NUMBER, "[RESOLVED] HighLoad: load above 8 on web1"),
                  f"b got {messages('b')[-1]}")

        @case("100 requests at once are all answered, each with every modem")
        def _():
            with concurrent.futures.ThreadPoolExecutor(100) as pool:
                answers = list(pool.map(
                    lambda _: request(port, "GET", "/v1/modems", headers=bearer, timeout=60),
                    range(100)))
            wrong = [(s, b[:200]) for s, b, _ in answers
                     if s != 200 or [m["modem"] for m in json.loads(b)["modems"]] !=
                     ["a", "b", "r"]]
            check(not wrong, f"{len(wrong)} wrong answers, first: {wrong[:1]}")

        @case("beyond its rate a front answers 429 on /v1 and a temporary failure on sendsms")
        def _():
            slow_port = free_port()
            slow = write_config("slow.conf", f"listen = 127.0.0.1:{slow_port}\nrate = 2\n")
            start_front(slow, slow_port)
            statuses = [request(slow_port, "GET", "/v1/modems")[0] for _ in range(2)]
            status, body, headers = request(slow_port, "GET", "/v1/modems")
            check(statuses == [200, 200] and status == 429 and
                  headers.get("Retry-After") == "60", f"{statuses} then {status} {body}")
            status, body, _ = request(slow_port, "GET", f"/cgi-bin/sendsms?to=1&text=x")
            check(status == 503 and body.startswith("Temporary failure: more than 2 requests"),
                  f"sendsms: {status} {body!r}")

        @case("SIGTERM stops the front at once and cleanly")
        def _():
            for p in fronts:
                p.send_signal(signal.SIGTERM)
            codes = [p.wait(timeout=10) for p in fronts]
            check(codes == [0] * len(fronts), f"exit codes {codes}")
    finally:
        for p in fronts:
            stop(p)
        for pid in w.server_pids():
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        wait_until(lambda: not w.server_pids(), 10)
        for sim in filter(None, sims.values()):
            stop(sim[0])


if __name__ == "__main__":
    main(run_cases)
