"""The scale-out recipe run for real: a local Spark job aggregates a raw event
log into a Parquet folder, and the index built from that folder is the one
built from the raw log itself and from DuckDB's aggregation of it.

Needs pyspark (the test extra) and a Java runtime (`make java` installs
Debian's); one local[2] session serves the whole module.
"""

import random
import shutil
import subprocess

import pytest

from quillomar import IndexBuilder
from quillomar.log_files import add_file

pyspark = pytest.importorskip("pyspark", reason="pyspark is not installed (the test extra)")


def _java_problem():
    java = shutil.which("java")
    if java is None:
        return "no Java runtime: tools/install_java.sh could not install openjdk-17-jre-headless"
    done = subprocess.run([java, "-version"], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return f"java -version failed: {done.stderr.strip().splitlines()[-1:]}"
    return None


@pytest.fixture(scope="module")
def spark():
    problem = _java_problem()
    if problem:
        pytest.skip(problem)
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[2]")
        .appName("quillomar-scale-out-test")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.driver.memory", "512m")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def write_event_log(path, events=3000, seed=7):
    """A raw log of one row per search. Every (term, video) pair first
    appears in sorted order (video numbers follow first appearance, and the
    aggregations below write their rows sorted), then events follow at
    random, skewed towards a few popular pairs."""
    rng = random.Random(seed)
    pairs = sorted({(f"term {rng.randrange(60):02d}", rng.randrange(200)) for _ in range(400)})
    rows = list(pairs)
    weights = [1 / (1 + i % 37) for i in range(len(pairs))]
    rows += rng.choices(pairs, weights=weights, k=events - len(pairs))
    path.write_text("term,video\n" + "".join(f"{t},{v}\n" for t, v in rows))
    return len(rows)


def built(path, top_n=5):
    builder = IndexBuilder()
    rows = add_file(builder, path)
    return rows, builder.to_bytes(top_n)


def test_spark_aggregation_builds_the_raw_logs_index(spark, tmp_path):
    from pyspark.sql import functions as F

    raw = tmp_path / "events.csv"
    events = write_event_log(raw)
    spark_out = tmp_path / "spark_parquet"
    (
        spark.read.csv(str(raw), header=True, schema="term STRING, video BIGINT")
        .groupBy("term", "video")
        .agg(F.count(F.lit(1)).cast("long").alias("count"))
        .orderBy("term", "video")
        .write.mode("overwrite")
        .parquet(str(spark_out))
    )
    assert (spark_out / "_SUCCESS").exists()

    duckdb = pytest.importorskip("duckdb")
    duck_out = tmp_path / "duckdb_parquet"
    duckdb.execute(
        f"COPY (SELECT term, video, count(*)::BIGINT AS count FROM read_csv('{raw}') "
        f"GROUP BY term, video ORDER BY term, video) TO '{duck_out}' (FORMAT parquet)"
    )

    raw_rows, from_raw = built(raw)
    spark_rows, from_spark = built(spark_out)
    duck_rows, from_duckdb = built(duck_out)
    assert raw_rows == events
    assert spark_rows == duck_rows < events
    assert from_spark == from_raw
    assert from_duckdb == from_raw
