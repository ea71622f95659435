"""The build of the Python module tolv for pip: CMake builds the compiled part
(the target tolv_python, as `cmake -DTOLV_PYTHON=ON` does) and setuptools packs it
with python/tolv.  The version is the one project() gives in CMakeLists.txt."""
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(tolv VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call(["cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DTOLV_TESTS=OFF",
                               "-DTOLV_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable])
        subprocess.check_call(["cmake", "--build", build, "--target", "tolv_python", "-j", str(os.cpu_count() or 1)])
        built = os.path.join(build, "python", "tolv")
        module = next(n for n in os.listdir(built) if n.startswith("_tolv") and n.endswith(".so"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, module), target)


setup(
    version=version(),
    packages=["tolv"],
    package_dir={"": "python"},
    package_data={"tolv": ["py.typed"]},
    ext_modules=[Extension("tolv._tolv", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Apart from the CMake build trees (build/ and the like) of a checkout.
    options={"build": {"build_base": "build-pip"}},
)
