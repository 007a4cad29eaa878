"""The node package's example flow ``detection-stream.json``, loaded and
pointed at given servers: photographs in, OpenCV's cascade classifiers, the
kit's per-class NMS, the result payload over MQTT and back through an
``mqtt in`` node. Shared by ``make demo-node-red`` and its test."""

import json
import os
import urllib.parse

from devkit.node_red_package import EXAMPLES_DIR

EXAMPLE = os.path.join(EXAMPLES_DIR, "detection-stream.json")


class DetectionFlow:
    """The example's records and its parts: ``inject`` (the frames' button),
    ``stages`` (the Python nodes from the inject node down the wires),
    ``mqtt_in`` and the debug node behind it, ``mqtt_debug``."""

    def __init__(self, path=EXAMPLE):
        with open(path, encoding="utf-8") as file:
            self.records = json.load(file)
        self.by_id = {record["id"]: record for record in self.records}
        self.inject = self._one("inject")
        self.stages = []
        current = self.inject
        while True:
            targets = [self.by_id[t] for port in current.get("wires", []) for t in port]
            python = [record for record in targets if record["type"] == "nalo-python"]
            if not python:
                break
            current = python[0]
            self.stages.append(current)
        self.mqtt_in = self._one("mqtt in")
        self.mqtt_debug = self.by_id[self.mqtt_in["wires"][0][0]]

    def _one(self, kind):
        (found,) = [record for record in self.records if record["type"] == kind]
        return found

    @property
    def publisher(self):
        """The last stage: the node that publishes the payloads."""
        return self.stages[-1]

    def point_at(self, redis_url, broker_url, interpreter, frames=None):
        """Point the configuration nodes at the given servers, the Python
        nodes at ``interpreter`` and, when given, the frames' button at
        ``frames`` (``{"directory": ..., "files": [...]}``)."""
        broker = urllib.parse.urlsplit(broker_url)
        for record in self.records:
            kind = record["type"]
            if kind == "nalo-redis-server":
                record["url"] = redis_url
            elif kind == "nalo-mqtt-broker":
                record["url"] = broker_url
            elif kind == "mqtt-broker":
                record["broker"], record["port"] = broker.hostname, str(broker.port)
            elif kind == "nalo-python":
                record["interpreter"] = interpreter
        if frames is not None:
            self.inject["payload"] = json.dumps(frames)
        return self

    def frames(self):
        """The directory and files that the frames' button names."""
        given = json.loads(self.inject["payload"])
        return given["directory"], given["files"]
