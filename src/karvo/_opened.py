"""What a Series and a Spectrum share as opened files."""
from __future__ import annotations

from functools import cached_property
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from types import TracebackType

    from typing_extensions import Self


class OpenedFile:
    """Context management and the file header of an opened spectral data file."""

    _file: Any

    def close(self) -> None:  # pragma: no cover - every subclass has its own
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    @cached_property
    def file_header(self) -> dict[str, Any]:
        """The file header's fields by their record names (``sti_id_string``,
        ``file_id``, ``file_type``, ``version``, ``num_sections``, ...).

        Example::

            >>> karvo.open("run42.kvr").file_header["file_type"]  # doctest: +SKIP
            11
        """
        return self._file.record("file_header")  # type: ignore[no-any-return]
