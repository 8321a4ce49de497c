"""The non-blocking forms of blocking calls: an operation not yet started,
which runs (on the asyncio loop's default executor) once it is awaited."""
import asyncio


async def later(call, *args):
    """Runs call(*args) in the running loop's executor when awaited."""
    return await asyncio.get_running_loop().run_in_executor(None, call, *args)
