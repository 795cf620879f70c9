"""MkDocs hook: every image and link of a page points at a file the built site holds.

MkDocs says only at INFO level that a page links to a file ``exclude_docs`` leaves out, so a
``--strict`` build passed a page whose figures were missing from the site; and it does not look at
the ``src`` and ``href`` of raw HTML at all. This hook resolves every relative ``src`` and ``href``
of each page's HTML against the page's own address and logs a warning, which fails the strict
build, for each one that no file of the site is at. Anchors are left to MkDocs' own validation.
"""

from __future__ import annotations

import logging
from html.parser import HTMLParser
from typing import Any
from urllib.parse import unquote, urljoin, urlsplit

from mkdocs.structure.files import Files
from mkdocs.structure.pages import Page

log = logging.getLogger("mkdocs.plugins.missing_targets")
SITE = "https://site.invalid/"


class _Targets(HTMLParser):
    """The ``src`` and ``href`` values of an HTML fragment."""

    def __init__(self) -> None:
        super().__init__()
        self.found: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.found += [value for name, value in attrs if name in ("src", "href") and value]


def site_path(reference: str, page_url: str) -> str | None:
    """The path in the site, from its root, that `reference` on the page at `page_url` names, with
    ``index.html`` for a folder; None for an anchor on the page or another site's address."""
    parts = urlsplit(reference)
    if parts.scheme or parts.netloc or not parts.path:
        return None
    resolved = urlsplit(urljoin(SITE + page_url, parts.path)).path.lstrip("/")
    resolved = unquote(resolved)
    return resolved + "index.html" if resolved == "" or resolved.endswith("/") else resolved


def missing(html: str, page_url: str, files: Files) -> list[str]:
    """The references of `html` on the page at `page_url` that point at no file of the site."""
    present = {file.dest_uri for file in files if not file.inclusion.is_excluded()}
    parser = _Targets()
    parser.feed(html)
    parser.close()
    return [
        reference
        for reference in parser.found
        if (path := site_path(reference, page_url)) is not None and path not in present
    ]


def on_page_content(html: str, page: Page, config: Any, files: Files) -> str:
    for reference in missing(html, page.url, files):
        log.warning(
            "%s: '%s' points at no file of the built site (missing, or left out by exclude_docs)",
            page.file.src_uri,
            reference,
        )
    return html
