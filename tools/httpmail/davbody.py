"""Parser of the XML request bodies of PROPFIND and PROPPATCH."""

import xml.etree.ElementTree as ElementTree

from .multistatus import DAV

MAX_BODY = 1024 * 1024


class DavBodyError(Exception):
    """The request body is not a well-formed request of its kind (400)."""


def _split(tag):
    if tag.startswith("{"):
        uri, local = tag[1:].split("}", 1)
        return uri, local
    return "", tag


class DavBody:
    @staticmethod
    def _parse(body):
        if len(body) > MAX_BODY:
            raise DavBodyError("request body too large")
        if b"<!DOCTYPE" in body or b"<!ENTITY" in body:
            raise DavBodyError("document type declarations are not accepted")
        try:
            return ElementTree.fromstring(body)
        except ElementTree.ParseError as error:
            raise DavBodyError("malformed XML: %s" % error)

    @staticmethod
    def propfind(body):
        """Requested properties as (uri, local) pairs; None means all."""
        if not body.strip():
            return None
        root = DavBody._parse(body)
        if _split(root.tag) != (DAV, "propfind"):
            raise DavBodyError("root element is not DAV:propfind")
        for child in root:
            uri, local = _split(child.tag)
            if uri != DAV:
                continue
            if local in ("allprop", "propname"):
                return None
            if local == "prop":
                return [_split(prop.tag) for prop in child]
        raise DavBodyError("DAV:propfind without DAV:prop or DAV:allprop")

    @staticmethod
    def proppatch(body):
        """Updates in document order: (action, (uri, local), text) tuples."""
        root = DavBody._parse(body)
        if _split(root.tag) != (DAV, "propertyupdate"):
            raise DavBodyError("root element is not DAV:propertyupdate")
        updates = []
        for action in root:
            uri, local = _split(action.tag)
            if uri != DAV or local not in ("set", "remove"):
                raise DavBodyError("unexpected element %s in DAV:propertyupdate" % action.tag)
            props = [child for child in action if _split(child.tag) == (DAV, "prop")]
            if len(props) != 1:
                raise DavBodyError("DAV:%s needs exactly one DAV:prop" % local)
            for prop in props[0]:
                updates.append((local, _split(prop.tag), "".join(prop.itertext())))
        if not updates:
            raise DavBodyError("DAV:propertyupdate changes nothing")
        return updates
