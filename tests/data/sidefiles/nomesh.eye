<ModelInfo>
	<Agents>
		<Agent name='court_ping'>
			<state name='serving'><mesh scale='2'>first.obj</mesh></state>
			<state name='done'><pos x='1' y='1' z='1' /></state>
			<state name='start'><mesh scale='2'>never.obj</mesh></state>
		</Agent>
	</Agents>
</ModelInfo>
