from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension(
            "varnelle_floor",
            sources=["floor.c"],
            define_macros=[("Py_LIMITED_API", "0x030C0000")],
            py_limited_api=True,
            extra_compile_args=["-O2"],
        )
    ],
    options={"bdist_wheel": {"py_limited_api": "cp312"}},
)
