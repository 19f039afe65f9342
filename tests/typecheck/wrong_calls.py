"""Wrong calls: `mypy --strict` reports each one with the code in its ignore.

With warn_unused_ignores (part of --strict) an ignore that nothing needs is an
error itself, so every line below must be reported.
"""

import velka_code as vk

vk.sin("x")  # type: ignore[call-overload]
vk.sqrt(None)  # type: ignore[call-overload]
vk.power(2, 0.5)  # type: ignore[call-overload]
vk.absolute_value(1j)  # type: ignore[call-overload]
vk.factorial(2.5)  # type: ignore[arg-type]
vk.floor(1j)  # type: ignore[arg-type]
vk.sha256(12345)  # type: ignore[arg-type]
vk.md5(None)  # type: ignore[arg-type]
vk.remove(None)  # type: ignore[arg-type]
vk.pathq("x", "r")  # type: ignore[arg-type]
vk.vkprint("a", sep=None)  # type: ignore[arg-type]
vk.vkprint("a", flush=True)  # type: ignore[call-arg]
vk.join(paths="a")  # type: ignore[call-arg]
vk.exists()  # type: ignore[call-arg]
vk.getcwd(".")  # type: ignore[call-arg]
vk.copy("a", "b", overwrite=True)  # type: ignore[call-arg]
vk.HTTPServer(port="8000")  # type: ignore[arg-type]
vk.HTTPServer().start(1)  # type: ignore[call-arg]
vk.BackendPythonServer()  # type: ignore[call-arg]
vk.SelfSignedCertificateGenerator("x", key_size="2048")  # type: ignore[arg-type]
vk.ComplexNumber("1", 2)  # type: ignore[arg-type]
vk.ComplexNumber(1, 2) + "x"  # type: ignore[operator]
3 + vk.ComplexNumber(1, 2)  # type: ignore[operator]
vk.no_such_name  # type: ignore[attr-defined]
vk.WinRightCilck().grid(True)  # type: ignore[operator]
vk.WinRightCilck().defaults()  # type: ignore[operator]
vk.WinRightCilck.icon_size("48")  # type: ignore[arg-type]

joined: int = vk.join("a")  # type: ignore[assignment]
sine: str = vk.sin(1.0)  # type: ignore[assignment]
exact: int = vk.power(2, -2)  # type: ignore[assignment]
home: str = vk.home()  # type: ignore[assignment]
digest: bytes = vk.sha1(b"x")  # type: ignore[assignment]
vk.psshell("ls").stdout  # type: ignore[union-attr]
